// `vst2host validate`: the command line of the validator (validator.h),
// its text, JSON and JUnit reports, and several modules validated at once.
// On Windows a test's child is this program started again with hidden
// options.
#include "tools/vst2host/validate/command.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tools/vst2host/tool.h"
#include "tools/vst2host/validate/validator.h"
#include <aerie/process.h>
#include <aerie/sandbox.h>

namespace tool {

namespace {

using json = nlohmann::ordered_json;

struct Options {
    std::vector<std::string> modules;
    int strictness = validate::kDefaultStrictness;
    std::uint64_t seed = 1;
    int repeat = 1;
    std::string rates;
    std::string blocks;
    std::vector<std::string> only;
    std::vector<std::string> skip;
    double timeout = 60.0;
    bool json = false;
    bool list = false;
    std::string junit;
    int jobs = 1;
    int testJobs = 0;  // 0: as many as the machine has cores, shared among the modules
    bool rtSafety = false;
    // The hidden child side (Windows): the test to run, and the sandbox's
    // two arguments.
    std::string childTest;
    std::vector<std::string> sandbox;
};

Options options;

// The library's options from the command line's; throws Error(kUsage) for
// rates or block sizes that make no sense.
validate::RunOptions runOptions() {
    validate::RunOptions s;
    s.strictness = options.strictness;
    s.seed = options.seed;
    s.repeat = options.repeat;
    s.only = options.only;
    s.skip = options.skip;
    s.timeout = options.timeout;
    s.rtSafety = options.rtSafety;
#if defined(_WIN32)
    s.restart = [](const validate::TestDef& test, const validate::Settings& settings) {
        std::vector<std::string> args = {aerie::selfExecutable(),
                                         "validate",
                                         settings.module,
                                         "--strictness",
                                         std::to_string(settings.strictness),
                                         "--seed",
                                         std::to_string(settings.seed),
                                         "--__child-test",
                                         test.name};
        if (!options.rates.empty()) args.insert(args.end(), {"--rates", options.rates});
        if (!options.blocks.empty()) args.insert(args.end(), {"--blocks", options.blocks});
        args.push_back("--__sandbox");  // the sandbox appends its two arguments
        return args;
    };
#endif
    auto split = [](const std::string& list) {
        std::vector<std::string> items;
        std::stringstream in(list);
        std::string item;
        while (std::getline(in, item, ',')) {
            item.erase(0, item.find_first_not_of(' '));
            item.erase(item.find_last_not_of(' ') + 1);
            items.push_back(item);
        }
        return items;
    };
    if (!options.rates.empty()) {
        for (const std::string& r : split(options.rates)) {
            std::size_t used = 0;
            double v = 0;
            try {
                v = std::stod(r, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != r.size() || r.empty() || !(v >= 1.0 && v <= 1e6)) {
                throw Error(kUsage, "--rates: \"" + r + "\" is not a sample rate from 1 to 1000000 Hz");
            }
            s.rates.push_back(v);
        }
    }
    if (!options.blocks.empty()) {
        for (const std::string& b : split(options.blocks)) {
            if (b.empty() || b.size() > 7 || b.find_first_not_of("0123456789") != std::string::npos ||
                std::stol(b) < 1 || std::stol(b) > (1 << 20)) {
                throw Error(kUsage, "--blocks: \"" + b + "\" is not a block size from 1 to 1048576 frames");
            }
            s.blocks.push_back(static_cast<std::int32_t>(std::stol(b)));
        }
    }
    return s;
}

void checkPatterns(const std::vector<std::string>& patterns, const char* option) {
    const std::vector<std::string> unknown = validate::unknownPatterns(patterns);
    if (!unknown.empty()) {
        throw Error(kUsage, std::string(option) + ": no test is called \"" + unknown.front() +
                                "\" (see vst2host validate --list)");
    }
}

std::vector<std::string> splitNames(const std::vector<std::string>& items) {
    std::vector<std::string> out;
    for (const std::string& item : items) {
        std::stringstream in(item);
        std::string name;
        while (std::getline(in, name, ',')) {
            if (!name.empty()) out.push_back(name);
        }
    }
    return out;
}

std::string secondsText(double s) {
    char b[32];
    (void)std::snprintf(b, sizeof b, "%.2f s", s);
    return b;
}

int listTests() {
    if (options.json) {
        json list = json::array();
        for (const auto& t : validate::catalog()) {
            list.push_back({{"name", t.name},
                            {"description", t.description},
                            {"why", t.why},
                            {"strictness", t.minStrictness},
                            {"failsFrom", t.failsFrom}});
        }
        std::cout << list.dump(2) << std::endl;
        return kOk;
    }
    std::size_t width = 0;
    for (const auto& t : validate::catalog()) width = std::max(width, std::string(t.name).size());
    for (const auto& t : validate::catalog()) {
        std::string name = t.name;
        name.resize(width + 2, ' ');
        std::cout << name << t.description;
        if (t.minStrictness > 1) std::cout << " [strictness " << t.minStrictness << "+]";
        if (t.failsFrom >= validate::kNeverFails) {
            std::cout << " [a warning at every strictness]";
        } else if (t.failsFrom > 1) {
            std::cout << " [a warning below strictness " << t.failsFrom << "]";
        }
        std::cout << '\n' << std::string(width + 2, ' ') << "why: " << t.why << '\n';
    }
    return kOk;
}

int runChildSide() {
    if (options.modules.size() != 1 || options.sandbox.size() != 2) throw Error(kUsage, "bad child invocation");
    try {
        return validate::runChild(options.childTest, validate::settingsFor(options.modules.front(), runOptions()),
                                  options.sandbox[0], options.sandbox[1]);
    } catch (const std::invalid_argument&) {
        throw Error(kUsage, "bad child invocation");
    }
}

// The modules named on the command line: files as they are, folders
// searched (with their subfolders) for modules, in name order.
std::vector<std::string> expandModules(const std::vector<std::string>& given) {
#if defined(_WIN32)
    const char* const suffix = ".dll";
#else
    const char* const suffix = ".so";
#endif
    std::vector<std::string> out;
    for (const std::string& m : given) {
        std::error_code ec;
        if (!std::filesystem::is_directory(m, ec)) {
            out.push_back(m);
            continue;
        }
        std::vector<std::string> found;
        for (auto it = std::filesystem::recursive_directory_iterator(
                 m, std::filesystem::directory_options::skip_permission_denied, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_regular_file(ec) && it->path().extension() == suffix) found.push_back(it->path().string());
        }
        std::sort(found.begin(), found.end());
        if (found.empty()) throw Error(kUsage, "validate: the folder " + m + " holds no " + suffix + " module");
        out.insert(out.end(), found.begin(), found.end());
    }
    return out;
}

// A module's report, and its lines when printed as text.
struct Printed {
    validate::ModuleReport report;
    std::string text;
};

std::mutex outputMutex;

std::string textOf(const validate::TestResult& o) {
    using Status = validate::TestResult::Status;
    const std::string name = o.name();
    std::ostringstream out;
    if (o.status == Status::Passed) {
        out << "pass  " << name << " (" << secondsText(o.seconds) << ")\n";
    } else if (o.status == Status::Skipped) {
        out << "skip  " << name << ": " << o.skipReason << '\n';
    }
    for (const auto& f : o.failures) out << "FAIL  " << name << ": " << f << '\n';
    for (const auto& w : o.warnings) out << "warn  " << name << ": " << w << '\n';
    for (const auto& n : o.notes) out << "note  " << name << ": " << n << '\n';
    if (!o.plugin.empty()) out << "      " << o.plugin << '\n';
    return out.str();
}

// Validates one module. With `live`, the text report is printed as it
// becomes ready, in catalogue order.
Printed validateModule(const std::string& module, const validate::RunOptions& run, bool live) {
    Printed printed;
    const bool text = !options.json;
    auto print = [&](const std::string& lines) {
        printed.text += lines;
        if (live) {
            std::lock_guard<std::mutex> out(outputMutex);
            std::cout << lines << std::flush;
        }
    };
    if (text) {
        std::ostringstream h;
        h << "validating " << module << " at strictness " << options.strictness << ", seed " << options.seed << '\n';
        print(h.str());
    }
    try {
        printed.report = validate::validateModule(module, run, [&](const validate::TestResult& r) {
            if (text) print(textOf(r));
        });
    } catch (const std::exception& e) {
        throw Error(kInternal, e.what());
    }
    const validate::ModuleReport& report = printed.report;
    if (text && options.modules.size() > 1) {
        std::ostringstream s;
        s << module << ": " << report.passed << " passed, " << report.failed << " failed, " << report.skipped
          << " skipped in " << secondsText(report.seconds) << '\n';
        print(s.str());
    }
    return printed;
}

json listOf(const std::vector<std::string>& v) {
    json a = json::array();
    for (const auto& s : v) a.push_back(toUtf8(s));
    return a;
}

}  // namespace

CLI::App* addValidateCommand(CLI::App& app) {
    CLI::App* v = app.add_subcommand("validate", "Test plug-in modules the way strict hosts use them");
    v->footer(
        "Each test runs in a child process; a crash, or no progress for --timeout\n"
        "seconds, fails that test and the run goes on. A module's tests run side by\n"
        "side once it has loaded. One line per failure, then\n"
        "`N passed, M failed, K skipped` alone on the last line.\n"
        "\n"
        "Examples:\n"
        "  vst2host validate --list\n"
        "  vst2host validate my-plugin.so\n"
        "  vst2host validate my-plugin.so --strictness 10 --json > report.json\n"
        "  vst2host validate /usr/lib/vst -j 2 --junit report.xml\n"
        "  vst2host validate my-plugin.so --only processing,state --skip processing.subnormals\n"
        "\n"
        "Exit codes: 0 nothing failed; 8 a test failed; 1 the validator itself failed;\n"
        "2 bad options; 6 the --junit file cannot be written.");
    v->add_option("MODULE", options.modules, "Plug-in modules (.so or .dll), or folders to search for them");
    v->add_option("--strictness", options.strictness, "1 to 10 (default 5): higher runs more and longer tests")
        ->check(CLI::Range(1, validate::kMaxStrictness));
    v->add_option("--seed", options.seed, "Seed of the random inputs, events and values (default 1)");
    v->add_option("--repeat", options.repeat, "Run each test this many times, with seeds seed, seed+1, ... (default 1)")
        ->check(CLI::Range(1, 1000));
    v->add_option("--rates", options.rates, "Sample rates the rate test uses, comma-separated (default 8000,...,384000,44123.45)");
    v->add_option("--blocks", options.blocks, "Block sizes the block test uses, comma-separated (default 1,16,...,8192)");
    v->add_option("--only", options.only, "Run only these tests or groups (comma-separated; `processing`, `state.chunks`)");
    v->add_option("--skip", options.skip, "Skip these tests or groups (comma-separated)");
    v->add_option("--timeout", options.timeout, "Seconds a test may go without progress before it fails as hung (default 60)");
    v->add_option("-j,--jobs", options.jobs, "Validate this many modules at once, each test in its own process (default 1)")
        ->check(CLI::Range(1, 64));
    v->add_option("--test-jobs", options.testJobs,
                  "Tests of one module run at once (default: the machine's cores shared among the -j modules)")
        ->check(CLI::Range(1, 64));
    v->add_flag("--rt-safety", options.rtSafety, "Real-time safety findings fail at any strictness (default: from 7)");
    v->add_flag("--json", options.json, "Print one JSON object with every test's result instead of text");
    v->add_option("--junit", options.junit, "Also write the results as JUnit XML to this file");
    v->add_flag("--list", options.list, "List the tests with what justifies each (with --json: as JSON), and exit");
    v->add_option("--__child-test", options.childTest)->group("");
    v->add_option("--__sandbox", options.sandbox)->expected(2)->group("");
    return v;
}

int runValidate() {
    if (!options.childTest.empty()) return runChildSide();
    if (options.list) return listTests();
    if (options.modules.empty()) throw Error(kUsage, "validate: give at least one MODULE or folder (or --list)");
    if (!(options.timeout > 0)) throw Error(kUsage, "--timeout must be more than 0 seconds");
    options.only = splitNames(options.only);
    options.skip = splitNames(options.skip);
    checkPatterns(options.only, "--only");
    checkPatterns(options.skip, "--skip");
    options.modules = expandModules(options.modules);
    validate::RunOptions run = runOptions();  // options checked before anything runs

    const int jobs = aerie::sandboxThreads(std::min<int>(options.jobs, static_cast<int>(options.modules.size())));
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    const int perModule =
        aerie::sandboxThreads(options.testJobs > 0 ? options.testJobs : std::max(1, cores / std::max(1, jobs)));
    run.testJobs = perModule;
    const bool live = jobs == 1;
    std::vector<Printed> printed(options.modules.size());
    const auto start = std::chrono::steady_clock::now();
    std::atomic<std::size_t> next{0};
    std::mutex errorMutex;
    std::string error;
    int errorCode = kOk;
    auto worker = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= options.modules.size()) return;
            try {
                printed[i] = validateModule(options.modules[i], run, live);
            } catch (const Error& e) {
                std::lock_guard<std::mutex> lock(errorMutex);
                error = e.what();
                errorCode = e.code();
                return;
            }
            if (!live && !options.json) {
                std::lock_guard<std::mutex> out(outputMutex);
                std::cout << printed[i].text << std::flush;
            }
        }
    };
    std::vector<std::thread> workers;
    for (int w = 1; w < jobs; ++w) workers.emplace_back(worker);
    worker();
    for (auto& t : workers) t.join();
    if (errorCode != kOk) throw Error(errorCode, error);

    std::vector<validate::ModuleReport> reports;
    reports.reserve(printed.size());
    for (Printed& p : printed) reports.push_back(std::move(p.report));
    int passed = 0, failed = 0, skipped = 0;
    for (const auto& r : reports) {
        passed += r.passed;
        failed += r.failed;
        skipped += r.skipped;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!options.junit.empty()) {
        try {
            validate::writeJunit(options.junit, reports, run, seconds);
        } catch (const std::runtime_error& e) {
            throw Error(kOutput, e.what());
        }
    }
    if (!options.json) {
        std::cout << "took " << secondsText(seconds) << '\n'
                  << passed << " passed, " << failed << " failed, " << skipped << " skipped" << std::endl;
    } else {
        json modules = json::array();
        for (const auto& r : reports) {
            json tests = json::array();
            for (const validate::TestResult& o : r.tests) {
                json t = {{"name", o.test->name}, {"result", validate::statusName(o.status)}, {"seconds", o.seconds}};
                t["failures"] = listOf(o.failures);
                t["warnings"] = listOf(o.warnings);
                t["notes"] = listOf(o.notes);
                if (o.status == validate::TestResult::Status::Skipped) t["reason"] = toUtf8(o.skipReason);
                tests.push_back(t);
            }
            modules.push_back({{"path", r.path},
                               {"plugin", r.plugin.empty() ? json() : json(toUtf8(r.plugin))},
                               {"passed", r.passed},
                               {"failed", r.failed},
                               {"skipped", r.skipped},
                               {"seconds", r.seconds},
                               {"tests", tests}});
        }
        const json all = {{"strictness", options.strictness}, {"seed", options.seed},   {"repeat", options.repeat},
                          {"passed", passed},                 {"failed", failed},       {"skipped", skipped},
                          {"seconds", seconds},               {"modules", modules}};
        std::cout << all.dump(2) << std::endl;
    }
    return failed == 0 ? kOk : kTestFailed;
}

}  // namespace tool
