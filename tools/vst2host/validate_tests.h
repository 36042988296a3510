// The validator's battery: generic tests of any VST 2 plug-in module, each
// run in a child process of its own by the runner (validate.cpp). A test
// reports through a Reporter: the step it is in (so that a crash or hang can
// be placed), failures, warnings, notes, or why it does not apply.
//
// The catalogue (validate/catalog.cpp) names every test; the harness
// (validate/harness.h) is what the tests share; each group of tests has a
// file of its own under validate/.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace validate {

inline constexpr int kDefaultStrictness = 5;
inline constexpr int kMaxStrictness = 10;

struct Settings {
    std::string module;
    int strictness = kDefaultStrictness;
    std::uint64_t seed = 1;
    std::vector<double> rates;        // sample rates the rate test goes through
    std::vector<std::int32_t> blocks;  // block sizes the block test goes through
};

const std::vector<double>& defaultRates();
const std::vector<std::int32_t>& defaultBlocks();

class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void step(const std::string& what) = 0;   // completes "... while <what>"
    virtual void fail(const std::string& what) = 0;
    virtual void warn(const std::string& what) = 0;
    virtual void note(const std::string& what) = 0;
    virtual void skip(const std::string& why) = 0;
    // What the plug-in is, one line, for the runner's header.
    virtual void plugin(const std::string& summary) = 0;
};

class Context;

struct TestDef {
    const char* name;         // "group.name"
    const char* description;  // one line: what it checks
    const char* why;          // the published behaviour of the interface, or the host practice, that justifies it
    int minStrictness;        // below it the test is skipped
    // Below this strictness the test's failures (a crash included) are
    // reported as warnings: what it finds is a risk in some hosts, not a
    // broken promise. 0: always failures.
    int failsFrom;
    void (*run)(Context&);
};

// Every test, in the order they are listed: loading first, so that a module
// that cannot be loaded stops the run early.
const std::vector<TestDef>& catalog();

// Runs one test in this process, reporting as it goes. Never throws.
void runTest(const TestDef& test, const Settings& settings, Reporter& reporter);

// The seed a test runs with: depends on the run's seed and the test's name
// only, so that --only and --skip do not change what a test does.
std::uint64_t testSeed(std::uint64_t seed, const std::string& name);

}  // namespace validate
