// The validator as a library: runs the battery (tests.h) on a plug-in
// module, every test in a child process of its own with a timeout, so that
// a plug-in that crashes or hangs fails that test and the run goes on, and
// returns a report. `vst2host validate` and kstv_validate are front ends to
// it; another front end calls validateModule() and reads the report.
//
// On POSIX systems a test's child is a fork of the calling process; on
// Windows it is the front end's program started again (RunOptions::restart),
// which hands the test to runChild().
//
// Thread tags: [any thread] may be called from several threads at once;
// [allocates] allocates (none of this is meant for real-time threads).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/vst2host/validate/tests.h"

namespace validate {

// How a run goes.
struct RunOptions {
    int strictness = kDefaultStrictness;  // 1 to kMaxStrictness
    std::uint64_t seed = 1;
    int repeat = 1;                       // each test this many times, with seeds seed, seed+1, ...
    std::vector<double> rates;            // the rate test's sample rates; empty: defaultRates()
    std::vector<std::int32_t> blocks;     // the block test's sizes; empty: defaultBlocks()
    std::vector<std::string> only;        // tests or groups to run (selected()); empty: all
    std::vector<std::string> skip;        // tests or groups not to run
    double timeout = 60.0;                // seconds a test may go without progress
    int testJobs = 0;                     // tests of one module at once; 0: the machine's cores
    bool rtSafety = false;                // real-time findings fail at any strictness
    // Windows only: the command line that starts the front end again as
    // the child of `test` (it must end in a call of runChild()); the
    // sandbox appends its two arguments.
    std::function<std::vector<std::string>(const TestDef& test, const Settings& settings)> restart;
};

// One test's result. A lenient strictness has already turned the failures
// of a test that fails only from a higher one into warnings.
struct TestResult {
    enum class Status { Passed, Failed, Skipped };
    const TestDef* test = nullptr;
    Status status = Status::Passed;
    std::vector<std::string> failures, warnings, notes;
    std::string skipReason;
    std::string plugin;  // what the plug-in is, one line, where the test said
    double seconds = 0;

    std::string name() const { return test != nullptr ? test->name : ""; }
    // The failures, else the reason of a skip, one a line; "" for a pass.
    std::string message() const;
};

const char* statusName(TestResult::Status status);  // "passed", "failed", "skipped"

// One module's results, in catalogue order.
struct ModuleReport {
    std::string path;
    std::string plugin;  // what the plug-in is, one line
    std::vector<TestResult> tests;
    int passed = 0, failed = 0, skipped = 0;
    double seconds = 0;
    bool ok() const { return failed == 0; }
};

// Whether a test's name matches one of the patterns: a whole name, a group
// ("processing" for "processing.finite"), or a prefix ending in '*'.
// [any thread]
bool selected(const std::string& name, const std::vector<std::string>& patterns);

// The patterns no test of the catalogue matches. [any thread] [allocates]
std::vector<std::string> unknownPatterns(const std::vector<std::string>& patterns);

// The settings a test of `module` runs with: the path made absolute, and
// the options' seed, rates and block sizes. [any thread] [allocates]
Settings settingsFor(const std::string& module, const RunOptions& options);

// Runs the selected tests of one module: the loading tests one after the
// other (a module that fails them skips the rest), then the rest
// options.testJobs at a time. `done`, when given, receives each result in
// catalogue order as soon as it and every result before it are in; it is
// called from the running threads one at a time. Throws std::runtime_error
// when a test process cannot be started at all. [any thread] [allocates]
ModuleReport validateModule(const std::string& module, const RunOptions& options,
                            const std::function<void(const TestResult&)>& done = {});

// The command line that starts `program` again as the child of `test` on
// Windows, for a program whose command line takes `validate MODULE ...
// --__child-test NAME --__sandbox` as vst2host's does (vst2host and
// kstv_validate): what RunOptions::restart answers for them. The sandbox
// appends its two arguments. [any thread; allocates]
std::vector<std::string> childCommandLine(const std::string& program, const TestDef& test, const Settings& settings);

// The child's side on Windows: runs `test` under the sandbox's two
// arguments and returns the child's exit code. Throws std::invalid_argument
// for a test that does not exist.
int runChild(const std::string& test, const Settings& settings, const std::string& sandboxReport,
             const std::string& sandboxShared);

// The results as JUnit XML, as CI systems read it: a testsuite per module
// with its time, a testcase per test; failures with their lines, skips as
// <skipped/>, the warnings and notes in <system-out>. Throws
// std::runtime_error when the file cannot be written. [allocates]
void writeJunit(const std::string& path, const std::vector<ModuleReport>& reports, const RunOptions& options,
                double seconds);

}  // namespace validate
