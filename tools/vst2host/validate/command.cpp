// `vst2host validate`: every test of the battery runs in a child process of
// its own, with a timeout, so that a plug-in that crashes or hangs fails that
// test and the run goes on. On POSIX systems the child is a fork of this
// process (no new program is started, so it works the same under user-mode
// emulators); on Windows it is this program started again with hidden
// options. The child writes what it finds, line by line, to a report file
// the parent reads once it has ended.
//
// Once the loading tests have passed, the other tests of a module run side
// by side, as many at once as the machine has cores (divided among the
// modules -j validates at once). Results are reported in catalogue order.
#include "tools/vst2host/validate/command.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tools/vst2host/tool.h"
#include "tools/vst2host/validate/tests.h"
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


// The child's side of a test: its reports become the sandbox's steps (which
// place a crash or hang) and messages.
class SandboxSink : public validate::Reporter {
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

validate::Settings settingsFor(const std::string& module) {
    validate::Settings s;
    // A bare file name would make the system loader search its library
    // path instead of opening the file meant.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(module, ec);
    s.module = ec ? module : absolute.string();
    s.strictness = options.strictness;
    s.seed = options.seed;
    s.rates = validate::defaultRates();
    s.blocks = validate::defaultBlocks();
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
        s.rates.clear();
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
        s.blocks.clear();
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

// What a child left in its report.
struct Outcome {
    enum class Result { Passed, Failed, Skipped } result = Result::Passed;
    std::vector<std::string> failures, warnings, notes;
    std::string skipReason;
    std::string plugin;
    double seconds = 0;
};

const char* resultName(Outcome::Result r) {
    switch (r) {
    case Outcome::Result::Passed: return "passed";
    case Outcome::Result::Failed: return "failed";
    case Outcome::Result::Skipped: return "skipped";
    }
    return "";
}

// The operation a test's child runs: the test, reporting as it goes.
aerie::SandboxOperation testOperation(const validate::TestDef& test, const validate::Settings& settings) {
    return [&test, settings](aerie::SandboxReporter& r) {
        SandboxSink sink(r);
        validate::runTest(test, settings, sink);
        r.send("done", "");
        return 0;
    };
}

// Runs one test in a sandboxed child process (a fork, or on Windows this
// program started again) and reads what it reported.
Outcome runOne(const validate::TestDef& test, const validate::Settings& settings) {
    aerie::SandboxOptions so;
    so.timeoutSeconds = options.timeout;
#if defined(_WIN32)
    so.restart = {aerie::selfExecutable(),
                  "validate",
                  settings.module,
                  "--strictness",
                  std::to_string(settings.strictness),
                  "--seed",
                  std::to_string(settings.seed),
                  "--__child-test",
                  test.name};
    if (!options.rates.empty()) so.restart.insert(so.restart.end(), {"--rates", options.rates});
    if (!options.blocks.empty()) so.restart.insert(so.restart.end(), {"--blocks", options.blocks});
    so.restart.push_back("--__sandbox");  // the sandbox appends its two arguments
#endif
    const aerie::SandboxResult r = aerie::runSandboxed(testOperation(test, settings), so);
    Outcome o;
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
    case End::NotStarted: throw Error(kInternal, "cannot start a test process: " + r.why);
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
        o.result = Outcome::Result::Failed;
    } else if (!o.skipReason.empty()) {
        o.result = Outcome::Result::Skipped;
    }
    return o;
}

bool selected(const std::string& name, const std::vector<std::string>& patterns) {
    for (const std::string& p : patterns) {
        if (name == p) return true;
        if (name.size() > p.size() && name.compare(0, p.size(), p) == 0 && name[p.size()] == '.') return true;
        if (!p.empty() && p.back() == '*' && name.compare(0, p.size() - 1, p, 0, p.size() - 1) == 0) return true;
    }
    return false;
}

void checkPatterns(const std::vector<std::string>& patterns, const char* option) {
    for (const std::string& p : patterns) {
        const auto& all = validate::catalog();
        if (std::none_of(all.begin(), all.end(), [&](const validate::TestDef& t) { return selected(t.name, {p}); })) {
            throw Error(kUsage, std::string(option) + ": no test is called \"" + p + "\" (see vst2host validate --list)");
        }
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
        if (t.failsFrom > 1) std::cout << " [a warning below strictness " << t.failsFrom << "]";
        std::cout << '\n' << std::string(width + 2, ' ') << "why: " << t.why << '\n';
    }
    return kOk;
}

int runChildSide() {
    const auto& all = validate::catalog();
    const auto it = std::find_if(all.begin(), all.end(), [](const validate::TestDef& t) { return options.childTest == t.name; });
    if (it == all.end() || options.modules.size() != 1 || options.sandbox.size() != 2) {
        throw Error(kUsage, "bad child invocation");
    }
    return aerie::runSandboxChild(options.sandbox[0], options.sandbox[1],
                                  testOperation(*it, settingsFor(options.modules.front())));
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

// One test's outcome with the failures a lenient strictness turns into
// warnings already turned.
Outcome runTestOf(const validate::TestDef& test, validate::Settings settings) {
    Outcome o;
    for (int k = 0; k < options.repeat; ++k) {
        settings.seed = options.seed + static_cast<std::uint64_t>(k);
        Outcome run = runOne(test, settings);
        if (options.repeat > 1 && !run.failures.empty()) {
            const std::string which = "run " + std::to_string(k + 1) + " (seed " + std::to_string(settings.seed) + "): ";
            for (auto& f : run.failures) f.insert(0, which);
        }
        const double total = o.seconds + run.seconds;
        if (k == 0 || run.result == Outcome::Result::Failed) o = std::move(run);
        o.seconds = total;
        if (o.result == Outcome::Result::Failed) break;
    }
    const bool forced = options.rtSafety && std::string(test.name).rfind("realtime.", 0) == 0;
    if (test.failsFrom > options.strictness && !forced && !o.failures.empty()) {
        for (const auto& f : o.failures) {
            o.warnings.push_back(f + " (a failure at strictness " + std::to_string(test.failsFrom) +
                                 (std::string(test.name).rfind("realtime.", 0) == 0 ? " or with --rt-safety)" : ")"));
        }
        o.failures.clear();
        o.result = o.skipReason.empty() ? Outcome::Result::Passed : Outcome::Result::Skipped;
    }
    return o;
}

struct ModuleReport {
    std::string path;
    std::string plugin;
    std::vector<std::pair<const validate::TestDef*, Outcome>> tests;
    int passed = 0, failed = 0, skipped = 0;
    double seconds = 0;
    std::string text;  // the report lines, when printed as text
};

std::mutex outputMutex;

std::string textOf(const validate::TestDef& test, const Outcome& o) {
    std::ostringstream out;
    if (o.result == Outcome::Result::Passed) {
        out << "pass  " << test.name << " (" << secondsText(o.seconds) << ")\n";
    } else if (o.result == Outcome::Result::Skipped) {
        out << "skip  " << test.name << ": " << o.skipReason << '\n';
    }
    for (const auto& f : o.failures) out << "FAIL  " << test.name << ": " << f << '\n';
    for (const auto& w : o.warnings) out << "warn  " << test.name << ": " << w << '\n';
    for (const auto& n : o.notes) out << "note  " << test.name << ": " << n << '\n';
    if (!o.plugin.empty()) out << "      " << o.plugin << '\n';
    return out.str();
}

// Runs the selected tests of one module: the loading tests one after the
// other, then the rest `parallel` at a time. With `live`, the text report is
// printed as it becomes ready, in catalogue order.
ModuleReport validateModule(const std::string& module, int parallel, bool live) {
    ModuleReport report;
    report.path = module;
    const validate::Settings settings = settingsFor(module);
    const auto start = std::chrono::steady_clock::now();
    std::vector<const validate::TestDef*> chosen;
    for (const validate::TestDef& test : validate::catalog()) {
        if (!options.only.empty() && !selected(test.name, options.only)) continue;
        if (selected(test.name, options.skip)) continue;
        chosen.push_back(&test);
    }
    std::vector<Outcome> outcomes(chosen.size());
    std::vector<char> ready(chosen.size(), 0);
    std::size_t printed = 0;
    std::mutex m;
    const bool text = !options.json;
    if (text) {
        std::ostringstream h;
        h << "validating " << module << " at strictness " << options.strictness << ", seed " << options.seed << '\n';
        report.text = h.str();
        if (live) {
            std::lock_guard<std::mutex> lock(outputMutex);
            std::cout << report.text << std::flush;
        }
    }
    auto finish = [&](std::size_t i, Outcome o) {
        std::lock_guard<std::mutex> lock(m);
        outcomes[i] = std::move(o);
        ready[i] = 1;
        while (printed < chosen.size() && ready[printed]) {
            if (text) {
                const std::string lines = textOf(*chosen[printed], outcomes[printed]);
                report.text += lines;
                if (live) {
                    std::lock_guard<std::mutex> out(outputMutex);
                    std::cout << lines << std::flush;
                }
            }
            ++printed;
        }
    };
    auto skipped = [](const std::string& why) {
        Outcome o;
        o.result = Outcome::Result::Skipped;
        o.skipReason = why;
        return o;
    };
    // Without a module, an entry or a usable record nothing else can run.
    std::string stopReason;
    std::vector<std::size_t> rest;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const validate::TestDef& test = *chosen[i];
        const std::string name = test.name;
        const bool gate = name == "loading.module" || name == "loading.entry" || name == "loading.record";
        if (!gate) {
            rest.push_back(i);
            continue;
        }
        if (!stopReason.empty()) {
            finish(i, skipped(stopReason));
            continue;
        }
        Outcome o = test.minStrictness > options.strictness
                        ? skipped("runs from strictness " + std::to_string(test.minStrictness))
                        : runTestOf(test, settings);
        if (o.result == Outcome::Result::Failed) stopReason = "the module failed " + name;
        finish(i, std::move(o));
    }
    std::atomic<std::size_t> next{0};
    std::atomic<bool> internal{false};
    std::string internalWhy;
    auto worker = [&] {
        for (;;) {
            const std::size_t k = next.fetch_add(1);
            if (k >= rest.size()) return;
            const std::size_t i = rest[k];
            const validate::TestDef& test = *chosen[i];
            if (!stopReason.empty()) {
                finish(i, skipped(stopReason));
            } else if (test.minStrictness > options.strictness) {
                finish(i, skipped("runs from strictness " + std::to_string(test.minStrictness)));
            } else {
                try {
                    finish(i, runTestOf(test, settings));
                } catch (const Error& e) {
                    std::lock_guard<std::mutex> lock(m);
                    internal = true;
                    internalWhy = e.what();
                    Outcome o;
                    o.result = Outcome::Result::Failed;
                    o.failures.push_back(e.what());
                    outcomes[i] = o;
                    ready[i] = 1;
                }
            }
        }
    };
    std::vector<std::thread> workers;
    const int count = std::max(1, std::min<int>(parallel, static_cast<int>(rest.size())));
    for (int w = 1; w < count; ++w) workers.emplace_back(worker);
    worker();
    for (auto& t : workers) t.join();
    if (internal) throw Error(kInternal, internalWhy);
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        Outcome& o = outcomes[i];
        switch (o.result) {
        case Outcome::Result::Passed: ++report.passed; break;
        case Outcome::Result::Failed: ++report.failed; break;
        case Outcome::Result::Skipped: ++report.skipped; break;
        }
        if (!o.plugin.empty()) report.plugin = o.plugin;
        report.tests.emplace_back(chosen[i], std::move(o));
    }
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (text && options.modules.size() > 1) {
        std::ostringstream s;
        s << module << ": " << report.passed << " passed, " << report.failed << " failed, " << report.skipped
          << " skipped in " << secondsText(report.seconds) << '\n';
        report.text += s.str();
        if (live) {
            std::lock_guard<std::mutex> out(outputMutex);
            std::cout << s.str() << std::flush;
        }
    }
    return report;
}

json listOf(const std::vector<std::string>& v) {
    json a = json::array();
    for (const auto& s : v) a.push_back(toUtf8(s));
    return a;
}

// Text for an XML document: UTF-8, markup characters escaped, and the
// control characters XML 1.0 cannot carry replaced.
std::string xmlText(const std::string& raw) {
    const std::string s = toUtf8(raw);
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

// JUnit XML as CI systems read it: a testsuite per module with its time, a
// testcase per test; failures with their lines, skips as <skipped/>, the
// warnings and notes in <system-out>.
void writeJunit(const std::string& path, const std::vector<ModuleReport>& reports, double seconds) {
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
        for (const auto& [test, o] : r.tests) {
            const std::string name = test->name;
            x << "    <testcase classname=\"" << xmlText(name.substr(0, name.find('.'))) << "\" name=\""
              << xmlText(name) << "\" time=\"" << xmlSeconds(o.seconds) << "\"";
            if (o.result == Outcome::Result::Passed && o.warnings.empty() && o.notes.empty()) {
                x << "/>\n";
                continue;
            }
            x << ">\n";
            if (o.result == Outcome::Result::Failed) {
                std::string all;
                for (const auto& f : o.failures) all += f + "\n";
                x << "      <failure message=\"" << xmlText(o.failures.empty() ? "" : o.failures.front())
                  << "\" type=\"failure\">" << xmlText(all) << "</failure>\n";
            } else if (o.result == Outcome::Result::Skipped) {
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
    if (!out) throw Error(kOutput, "--junit: cannot write " + path);
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
    for (const std::string& m : options.modules) (void)settingsFor(m);  // options checked before anything runs

    const int jobs = aerie::sandboxThreads(std::min<int>(options.jobs, static_cast<int>(options.modules.size())));
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    const int perModule =
        aerie::sandboxThreads(options.testJobs > 0 ? options.testJobs : std::max(1, cores / std::max(1, jobs)));
    const bool live = jobs == 1;
    std::vector<ModuleReport> reports(options.modules.size());
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
                reports[i] = validateModule(options.modules[i], perModule, live);
            } catch (const Error& e) {
                std::lock_guard<std::mutex> lock(errorMutex);
                error = e.what();
                errorCode = e.code();
                return;
            }
            if (!live && !options.json) {
                std::lock_guard<std::mutex> out(outputMutex);
                std::cout << reports[i].text << std::flush;
            }
        }
    };
    std::vector<std::thread> workers;
    for (int w = 1; w < jobs; ++w) workers.emplace_back(worker);
    worker();
    for (auto& t : workers) t.join();
    if (errorCode != kOk) throw Error(errorCode, error);

    int passed = 0, failed = 0, skipped = 0;
    for (const auto& r : reports) {
        passed += r.passed;
        failed += r.failed;
        skipped += r.skipped;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!options.junit.empty()) writeJunit(options.junit, reports, seconds);
    if (!options.json) {
        std::cout << "took " << secondsText(seconds) << '\n'
                  << passed << " passed, " << failed << " failed, " << skipped << " skipped" << std::endl;
    } else {
        json modules = json::array();
        for (const auto& r : reports) {
            json tests = json::array();
            for (const auto& [test, o] : r.tests) {
                json t = {{"name", test->name}, {"result", resultName(o.result)}, {"seconds", o.seconds}};
                t["failures"] = listOf(o.failures);
                t["warnings"] = listOf(o.warnings);
                t["notes"] = listOf(o.notes);
                if (o.result == Outcome::Result::Skipped) t["reason"] = toUtf8(o.skipReason);
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
