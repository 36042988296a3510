// The runner: every test in a child process of its own, with a timeout. The
// child writes what it finds, line by line, to a report the parent reads
// once it has ended. Once the loading tests have passed, the other tests of
// a module run side by side; results are handed on in catalogue order.
#include "tools/vst2host/validate/validator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <aerie/sandbox.h>

#include "tools/vst2host/utf8.h"

namespace validate {

namespace {

// The child's side of a test: its reports become the sandbox's steps (which
// place a crash or hang) and messages.
class SandboxSink : public Reporter {
public:
    explicit SandboxSink(aerie::SandboxReporter& r) : r_(r) {}
    void step(const std::string& what) override { r_.step(what); }
    void fail(const std::string& what) override { r_.send("fail", what); }
    void warn(const std::string& what) override { r_.send("warn", what); }
    void note(const std::string& what) override { r_.send("note", what); }
    void skip(const std::string& why) override { r_.send("skip", why); }
    void plugin(const std::string& summary) override { r_.send("plugin", summary); }

private:
    aerie::SandboxReporter& r_;
};

// The operation a test's child runs: the test, reporting as it goes.
aerie::SandboxOperation testOperation(const TestDef& test, const Settings& settings) {
    return [&test, settings](aerie::SandboxReporter& r) {
        SandboxSink sink(r);
        runTest(test, settings, sink);
        r.send("done", "");
        return 0;
    };
}

// Runs one test in a sandboxed child process and reads what it reported.
TestResult runOne(const TestDef& test, const Settings& settings, const RunOptions& options) {
    aerie::SandboxOptions so;
    so.timeoutSeconds = options.timeout;
#if defined(_WIN32)
    if (!options.restart) throw std::runtime_error("the validator was given no way to start a test process");
    so.restart = options.restart(test, settings);
#endif
    const aerie::SandboxResult r = aerie::runSandboxed(testOperation(test, settings), so);
    TestResult o;
    o.test = &test;
    bool done = false;
    for (const auto& [kind, text] : r.messages) {
        if (kind == "fail") o.failures.push_back(text);
        else if (kind == "warn") o.warnings.push_back(text);
        else if (kind == "note") o.notes.push_back(text);
        else if (kind == "skip") o.skipReason = text;
        else if (kind == "plugin") o.plugin = text;
        else if (kind == "done") done = true;
    }
    using End = aerie::SandboxResult::End;
    switch (r.end) {
    case End::NotStarted: throw std::runtime_error("cannot start a test process: " + r.why);
    case End::Crashed: o.failures.push_back("crashed (" + r.why + ") while " + r.where); break;
    case End::Hung: {
        std::ostringstream s;
        s << "made no progress for " << options.timeout << " s (--timeout) while " << r.where;
        o.failures.push_back(s.str());
        break;
    }
    case End::Failed: o.failures.push_back(r.error); break;
    case End::EndedProcess:
        o.failures.push_back("ended the process (exit code " + std::to_string(r.exitCode) + ") while " + r.where);
        break;
    case End::Finished:
        if (!done) o.failures.push_back("ended the test without finishing it while " + r.where);
        break;
    }
    o.seconds = r.seconds;
    if (!o.failures.empty()) {
        o.status = TestResult::Status::Failed;
    } else if (!o.skipReason.empty()) {
        o.status = TestResult::Status::Skipped;
    }
    return o;
}

// One test's result, repeated as asked, with the failures a lenient
// strictness turns into warnings already turned.
TestResult runTestOf(const TestDef& test, Settings settings, const RunOptions& options) {
    TestResult o;
    for (int k = 0; k < options.repeat; ++k) {
        settings.seed = options.seed + static_cast<std::uint64_t>(k);
        TestResult run = runOne(test, settings, options);
        if (options.repeat > 1 && !run.failures.empty()) {
            const std::string which = "run " + std::to_string(k + 1) + " (seed " + std::to_string(settings.seed) + "): ";
            for (auto& f : run.failures) f.insert(0, which);
        }
        const double total = o.seconds + run.seconds;
        if (k == 0 || run.status == TestResult::Status::Failed) o = std::move(run);
        o.seconds = total;
        if (o.status == TestResult::Status::Failed) break;
    }
    const bool realtime = std::string(test.name).rfind("realtime.", 0) == 0;
    const bool forced = options.rtSafety && realtime;
    if (test.failsFrom > options.strictness && !forced && !o.failures.empty()) {
        for (const auto& f : o.failures) {
            if (test.failsFrom >= kNeverFails) {
                o.warnings.push_back(f + " (a warning at every strictness)");
                continue;
            }
            o.warnings.push_back(f + " (a failure at strictness " + std::to_string(test.failsFrom) +
                                 (realtime ? " or with --rt-safety)" : ")"));
        }
        o.failures.clear();
        o.status = o.skipReason.empty() ? TestResult::Status::Passed : TestResult::Status::Skipped;
    }
    return o;
}

TestResult skippedResult(const TestDef& test, const std::string& why) {
    TestResult o;
    o.test = &test;
    o.status = TestResult::Status::Skipped;
    o.skipReason = why;
    return o;
}

// Text for an XML document: UTF-8, markup characters escaped, and the
// control characters XML 1.0 cannot carry replaced.
std::string xmlText(const std::string& raw) {
    const std::string s = tool::toUtf8(raw);
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
                out += '?';
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string xmlSeconds(double s) {
    char b[32];
    (void)std::snprintf(b, sizeof b, "%.3f", s);
    return b;
}

}  // namespace

std::string TestResult::message() const {
    std::string all;
    for (const auto& f : failures) all += f + "\n";
    if (failures.empty() && status == Status::Skipped) all = skipReason + "\n";
    return all;
}

const char* statusName(TestResult::Status status) {
    switch (status) {
    case TestResult::Status::Passed: return "passed";
    case TestResult::Status::Failed: return "failed";
    case TestResult::Status::Skipped: return "skipped";
    }
    return "";
}

bool selected(const std::string& name, const std::vector<std::string>& patterns) {
    for (const std::string& p : patterns) {
        if (name == p) return true;
        if (name.size() > p.size() && name.compare(0, p.size(), p) == 0 && name[p.size()] == '.') return true;
        if (!p.empty() && p.back() == '*' && name.compare(0, p.size() - 1, p, 0, p.size() - 1) == 0) return true;
    }
    return false;
}

std::vector<std::string> unknownPatterns(const std::vector<std::string>& patterns) {
    std::vector<std::string> unknown;
    const auto& all = catalog();
    for (const std::string& p : patterns) {
        if (std::none_of(all.begin(), all.end(), [&](const TestDef& t) { return selected(t.name, {p}); })) {
            unknown.push_back(p);
        }
    }
    return unknown;
}

Settings settingsFor(const std::string& module, const RunOptions& options) {
    Settings s;
    // A bare file name would make the system loader search its library
    // path instead of opening the file meant.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(module, ec);
    s.module = ec ? module : absolute.string();
    s.strictness = options.strictness;
    s.seed = options.seed;
    s.rates = options.rates.empty() ? defaultRates() : options.rates;
    s.blocks = options.blocks.empty() ? defaultBlocks() : options.blocks;
    return s;
}

ModuleReport validateModule(const std::string& module, const RunOptions& options,
                            const std::function<void(const TestResult&)>& done) {
    ModuleReport report;
    report.path = module;
    const Settings settings = settingsFor(module, options);
    const auto start = std::chrono::steady_clock::now();
    std::vector<const TestDef*> chosen;
    for (const TestDef& test : catalog()) {
        if (!options.only.empty() && !selected(test.name, options.only)) continue;
        if (selected(test.name, options.skip)) continue;
        chosen.push_back(&test);
    }
    std::vector<TestResult> results(chosen.size());
    std::vector<char> ready(chosen.size(), 0);
    std::size_t handed = 0;
    std::mutex m;
    auto finish = [&](std::size_t i, TestResult o) {
        std::lock_guard<std::mutex> lock(m);
        results[i] = std::move(o);
        ready[i] = 1;
        while (handed < chosen.size() && ready[handed]) {
            if (done) done(results[handed]);
            ++handed;
        }
    };
    auto runOrSkip = [&](const TestDef& test) {
        return test.minStrictness > options.strictness
                   ? skippedResult(test, "runs from strictness " + std::to_string(test.minStrictness))
                   : runTestOf(test, settings, options);
    };
    // Without a module, an entry or a usable record nothing else can run.
    std::string stopReason;
    std::vector<std::size_t> rest;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const TestDef& test = *chosen[i];
        const std::string name = test.name;
        const bool gate = name == "loading.module" || name == "loading.entry" || name == "loading.record";
        if (!gate) {
            rest.push_back(i);
            continue;
        }
        if (!stopReason.empty()) {
            finish(i, skippedResult(test, stopReason));
            continue;
        }
        TestResult o = runOrSkip(test);
        if (o.status == TestResult::Status::Failed) stopReason = "the module failed " + name;
        finish(i, std::move(o));
    }
    std::atomic<std::size_t> next{0};
    bool internal = false;
    std::string internalWhy;
    auto worker = [&] {
        for (;;) {
            const std::size_t k = next.fetch_add(1);
            if (k >= rest.size()) return;
            const std::size_t i = rest[k];
            const TestDef& test = *chosen[i];
            if (!stopReason.empty()) {
                finish(i, skippedResult(test, stopReason));
                continue;
            }
            try {
                finish(i, runOrSkip(test));
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> lock(m);
                internal = true;
                internalWhy = e.what();
                TestResult o;
                o.test = &test;
                o.status = TestResult::Status::Failed;
                o.failures.push_back(e.what());
                results[i] = o;
                ready[i] = 1;
            }
        }
    };
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    const int parallel = aerie::sandboxThreads(options.testJobs > 0 ? options.testJobs : cores);
    std::vector<std::thread> workers;
    const int count = std::max(1, std::min<int>(parallel, static_cast<int>(rest.size())));
    for (int w = 1; w < count; ++w) workers.emplace_back(worker);
    worker();
    for (auto& t : workers) t.join();
    if (internal) throw std::runtime_error(internalWhy);
    for (TestResult& o : results) {
        switch (o.status) {
        case TestResult::Status::Passed: ++report.passed; break;
        case TestResult::Status::Failed: ++report.failed; break;
        case TestResult::Status::Skipped: ++report.skipped; break;
        }
        if (!o.plugin.empty()) report.plugin = o.plugin;
        report.tests.push_back(std::move(o));
    }
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

std::vector<std::string> childCommandLine(const std::string& program, const TestDef& test, const Settings& settings) {
    auto list = [](const auto& values) {
        std::ostringstream out;
        out.precision(17);  // a rate comes back as the same double
        for (std::size_t k = 0; k < values.size(); ++k) out << (k > 0 ? "," : "") << values[k];
        return out.str();
    };
    std::vector<std::string> args = {program, "validate", settings.module, "--strictness", std::to_string(settings.strictness),
                                     "--seed", std::to_string(settings.seed), "--__child-test", test.name};
    if (!settings.rates.empty()) args.insert(args.end(), {"--rates", list(settings.rates)});
    if (!settings.blocks.empty()) args.insert(args.end(), {"--blocks", list(settings.blocks)});
    args.emplace_back("--__sandbox");
    return args;
}

int runChild(const std::string& test, const Settings& settings, const std::string& sandboxReport,
             const std::string& sandboxShared) {
    const auto& all = catalog();
    const auto it = std::find_if(all.begin(), all.end(), [&](const TestDef& t) { return test == t.name; });
    if (it == all.end()) throw std::invalid_argument("no test is called \"" + test + "\"");
    return aerie::runSandboxChild(sandboxReport, sandboxShared, testOperation(*it, settings));
}

void writeJunit(const std::string& path, const std::vector<ModuleReport>& reports, const RunOptions& options,
                double seconds) {
    int tests = 0, failures = 0, skips = 0;
    for (const auto& r : reports) {
        tests += r.passed + r.failed + r.skipped;
        failures += r.failed;
        skips += r.skipped;
    }
    std::ostringstream x;
    x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<testsuites name=\"vst2host validate\" tests=\"" << tests << "\" failures=\"" << failures
      << "\" errors=\"0\" skipped=\"" << skips << "\" time=\"" << xmlSeconds(seconds) << "\">\n";
    for (const auto& r : reports) {
        x << "  <testsuite name=\"" << xmlText(r.path) << "\" tests=\"" << r.passed + r.failed + r.skipped
          << "\" failures=\"" << r.failed << "\" errors=\"0\" skipped=\"" << r.skipped << "\" time=\""
          << xmlSeconds(r.seconds) << "\">\n";
        x << "    <properties>\n"
          << "      <property name=\"strictness\" value=\"" << options.strictness << "\"/>\n"
          << "      <property name=\"seed\" value=\"" << options.seed << "\"/>\n";
        if (!r.plugin.empty()) x << "      <property name=\"plugin\" value=\"" << xmlText(r.plugin) << "\"/>\n";
        x << "    </properties>\n";
        for (const TestResult& o : r.tests) {
            const std::string name = o.name();
            x << "    <testcase classname=\"" << xmlText(name.substr(0, name.find('.'))) << "\" name=\""
              << xmlText(name) << "\" time=\"" << xmlSeconds(o.seconds) << "\"";
            if (o.status == TestResult::Status::Passed && o.warnings.empty() && o.notes.empty()) {
                x << "/>\n";
                continue;
            }
            x << ">\n";
            if (o.status == TestResult::Status::Failed) {
                x << "      <failure message=\"" << xmlText(o.failures.empty() ? "" : o.failures.front())
                  << "\" type=\"failure\">" << xmlText(o.message()) << "</failure>\n";
            } else if (o.status == TestResult::Status::Skipped) {
                x << "      <skipped message=\"" << xmlText(o.skipReason) << "\"/>\n";
            }
            if (!o.warnings.empty() || !o.notes.empty()) {
                x << "      <system-out>";
                for (const auto& w : o.warnings) x << "warning: " << xmlText(w) << '\n';
                for (const auto& n : o.notes) x << "note: " << xmlText(n) << '\n';
                x << "</system-out>\n";
            }
            x << "    </testcase>\n";
        }
        x << "  </testsuite>\n";
    }
    x << "</testsuites>\n";
    std::ofstream out(path, std::ios::binary);
    out << x.str();
    out.close();
    if (!out) throw std::runtime_error("--junit: cannot write " + path);
}

}  // namespace validate
