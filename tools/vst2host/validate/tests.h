// The validator's battery: generic tests of any VST 2 plug-in module, each
// run in a child process of its own by the runner (runner.cpp). A test
// reports through a Reporter: the step it is in (so that a crash or hang can
// be placed), failures, warnings, notes, or why it does not apply.
//
// Each group of tests has a file of its own beside this header and declares
// its table there (name, what it checks, what justifies it, strictness,
// the test); the catalogue (catalog.cpp) puts the tables together. The
// harness (harness.h) is what the tests share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace validate {

inline constexpr int kDefaultStrictness = 5;
inline constexpr int kMaxStrictness = 10;
// TestDef::failsFrom of a test whose findings are warnings at every
// strictness: a risk in some hosts that plug-ins in wide use take.
inline constexpr int kNeverFails = kMaxStrictness + 1;

struct Settings {
    std::string module;
    int strictness = kDefaultStrictness;
    std::uint64_t seed = 1;
    std::vector<double> rates;        // sample rates the rate test goes through
    std::vector<std::int32_t> blocks;  // block sizes the block test goes through
};

// [any thread]
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
    // broken promise. 0: always failures; kNeverFails: always warnings.
    int failsFrom;
    void (*run)(Context&);
};

// Every test, in the order they are listed: loading first, so that a module
// that cannot be loaded stops the run early. [any thread]
const std::vector<TestDef>& catalog();

// Each group's table, in catalogue order.
const std::vector<TestDef>& loadingTests();     // loading.cpp
const std::vector<TestDef>& lifecycleTests();   // lifecycle.cpp
const std::vector<TestDef>& requestTests();     // requests.cpp
const std::vector<TestDef>& processingTests();  // processing.cpp
const std::vector<TestDef>& parameterTests();   // parameters.cpp
const std::vector<TestDef>& stateTests();       // state.cpp
const std::vector<TestDef>& threadTests();      // threads.cpp
const std::vector<TestDef>& realtimeTests();    // realtime.cpp
const std::vector<TestDef>& editorTests();      // editor.cpp
const std::vector<TestDef>& hostTests();        // host.cpp

// Runs one test in this process, reporting as it goes: what the child of a
// test does. It loads the module and may crash or hang with it. Never
// throws. [allocates]
void runTest(const TestDef& test, const Settings& settings, Reporter& reporter);

// The seed a test runs with: depends on the run's seed and the test's name
// only, so that --only and --skip do not change what a test does.
// [any thread]
std::uint64_t testSeed(std::uint64_t seed, const std::string& name);

}  // namespace validate
