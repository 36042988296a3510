// `vst2host validate`: every test of the battery runs in a child process of
// its own, with a timeout, so that a plug-in that crashes or hangs fails that
// test and the run goes on. On POSIX systems the child is a fork of this
// process (no new program is started, so it works the same under user-mode
// emulators); on Windows it is this program started again with hidden
// options. The child writes what it finds, line by line, to a report file
// the parent reads once it has ended.
#include "tools/vst2host/validate.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "tools/vst2host/crash_guard.h"
#include "tools/vst2host/tool.h"
#include "tools/vst2host/validate_tests.h"
#include <aerie/process.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tool {

namespace {

using json = nlohmann::ordered_json;

constexpr int kFailed = 1;  // some test failed

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
    // The hidden child side (Windows): the test to run and where to report.
    std::string childTest;
    std::string childReport;
};

Options options;


std::string oneLine(std::string s) {
    std::replace(s.begin(), s.end(), '\n', ' ');
    std::replace(s.begin(), s.end(), '\r', ' ');
    return s;
}

// Writes the report lines of a child, flushed one by one so that the last
// step survives a crash.
class FileReporter : public validate::Reporter {
public:
    explicit FileReporter(std::FILE* f) : f_(f) {}
    void step(const std::string& what) override { line("step", what); }
    void fail(const std::string& what) override { line("fail", what); }
    void warn(const std::string& what) override { line("warn", what); }
    void note(const std::string& what) override { line("note", what); }
    void skip(const std::string& why) override { line("skip", why); }
    void plugin(const std::string& summary) override { line("plugin", summary); }
    void done() { line("done", ""); }

private:
    void line(const char* kind, const std::string& text) {
        (void)std::fprintf(f_, "%s %s\n", kind, oneLine(text).c_str());
        (void)std::fflush(f_);
    }
    std::FILE* f_;
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

// The child's side: runs one test and reports. Never returns an error: what
// went wrong is in the report.
void childRun(const validate::TestDef& test, const validate::Settings& settings, const std::string& reportPath) {
    std::FILE* f = std::fopen(reportPath.c_str(), "wb");
    if (f == nullptr) return;
    FileReporter reporter(f);
    validate::runTest(test, settings, reporter);
    reporter.done();
    (void)std::fclose(f);
}

// Watches a child's report: a child that has not reported a step for
// --timeout seconds is hung. A slow plug-in that keeps making progress is not.
class Progress {
public:
    explicit Progress(std::string path) : path_(std::move(path)), last_(std::chrono::steady_clock::now()) {}
    bool stalled() {
        const auto now = std::chrono::steady_clock::now();
        if (now - checked_ < std::chrono::milliseconds(50)) return false;
        checked_ = now;
        std::error_code ec;
        const auto size = std::filesystem::file_size(path_, ec);
        if (!ec && size != size_) {
            size_ = size;
            last_ = now;
        }
        return std::chrono::duration<double>(now - last_).count() >= options.timeout;
    }

private:
    std::string path_;
    std::uintmax_t size_ = 0;
    std::chrono::steady_clock::time_point last_, checked_{};
};

#if defined(_WIN32)
using aerie::describeException;
using aerie::quoteArgument;
#endif

struct ChildEnd {
    aerie::ProcessResult::End end = aerie::ProcessResult::End::NotStarted;
    int exitCode = 0;
    std::string why;
};

ChildEnd runChild(const validate::TestDef& test, const validate::Settings& settings, const std::string& reportPath) {
    ChildEnd r;
#if defined(_WIN32)
    std::vector<std::string> argv = {aerie::selfExecutable(),
                                     "validate",
                                     settings.module,
                                     "--strictness",
                                     std::to_string(settings.strictness),
                                     "--seed",
                                     std::to_string(settings.seed),
                                     "--__child-test",
                                     test.name,
                                     "--__child-report",
                                     reportPath};
    if (!options.rates.empty()) argv.insert(argv.end(), {"--rates", options.rates});
    if (!options.blocks.empty()) argv.insert(argv.end(), {"--blocks", options.blocks});
    std::string commandLine;
    for (const std::string& a : argv) commandLine += (commandLine.empty() ? "" : " ") + quoteArgument(a);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    // Whatever the plug-in prints goes to our standard error.
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE copy = nullptr;
    if (err != nullptr && err != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), err, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        si.hStdOutput = si.hStdError = copy;
    }
    PROCESS_INFORMATION pi{};
    std::vector<char> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back('\0');
    const BOOL started = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    const DWORD startError = GetLastError();
    if (copy != nullptr) CloseHandle(copy);
    if (!started) {
        r.why = "cannot start " + argv.front() + " (Windows error " + std::to_string(startError) + ")";
        return r;
    }
    Progress progress(reportPath);
    while (WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT) {
        if (progress.stalled()) {
            TerminateProcess(pi.hProcess, 1);
            WaitForSingleObject(pi.hProcess, INFINITE);
            r.end = aerie::ProcessResult::End::TimedOut;
            break;
        }
    }
    if (r.end != aerie::ProcessResult::End::TimedOut) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        if (code >= 0xC0000000u || code == 0x80000003u) {
            r.end = aerie::ProcessResult::End::Crashed;
            r.why = describeException(code);
        } else {
            r.end = aerie::ProcessResult::End::Exited;
            r.exitCode = static_cast<int>(code);
        }
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
#else
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        r.why = std::string("cannot fork: ") + std::strerror(errno);
        return r;
    }
    if (pid == 0) {
        // Whatever the plug-in prints must not mix with our output.
        dup2(2, 1);
        crashguard::install(false);
        childRun(test, settings, reportPath);
        _exit(0);
    }
    int status = 0;
    Progress progress(reportPath);
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            r.why = "lost track of the child process";
            return r;
        }
        if (progress.stalled()) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            r.end = aerie::ProcessResult::End::TimedOut;
            return r;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
    }
    if (WIFSIGNALED(status)) {
        r.end = aerie::ProcessResult::End::Crashed;
        const int sig = WTERMSIG(status);
        switch (sig) {
        case SIGSEGV: r.why = "segmentation fault"; break;
        case SIGBUS: r.why = "bus error"; break;
        case SIGFPE: r.why = "arithmetic exception"; break;
        case SIGILL: r.why = "illegal instruction"; break;
        case SIGABRT: r.why = "aborted"; break;
        default: r.why = "signal " + std::to_string(sig); break;
        }
    } else {
        r.end = aerie::ProcessResult::End::Exited;
        r.exitCode = WEXITSTATUS(status);
    }
#endif
    return r;
}

Outcome runOne(const validate::TestDef& test, const validate::Settings& settings, const std::string& reportPath) {
    const auto start = std::chrono::steady_clock::now();
    const ChildEnd end = runChild(test, settings, reportPath);
    Outcome o;
    std::string lastStep = "starting";
    bool done = false;
    {
        std::ifstream in(reportPath, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const auto space = line.find(' ');
            const std::string kind = line.substr(0, space);
            const std::string text = space == std::string::npos ? "" : line.substr(space + 1);
            if (kind == "step") lastStep = text;
            else if (kind == "fail") o.failures.push_back(text);
            else if (kind == "warn") o.warnings.push_back(text);
            else if (kind == "note") o.notes.push_back(text);
            else if (kind == "skip") o.skipReason = text;
            else if (kind == "plugin") o.plugin = text;
            else if (kind == "done") done = true;
        }
    }
    std::error_code ec;
    std::filesystem::remove(reportPath, ec);
    using End = aerie::ProcessResult::End;
    switch (end.end) {
    case End::NotStarted: throw Error(kInternal, "cannot start a test process: " + end.why);
    case End::Crashed: o.failures.push_back("crashed (" + end.why + ") while " + lastStep); break;
    case End::TimedOut: {
        std::ostringstream s;
        s << "made no progress for " << options.timeout << " s (--timeout) while " << lastStep;
        o.failures.push_back(s.str());
        break;
    }
    case End::Exited:
        if (!done) {
            o.failures.push_back("ended the process (exit code " + std::to_string(end.exitCode) + ") while " + lastStep);
        }
        break;
    }
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
            list.push_back({{"name", t.name}, {"description", t.description}, {"strictness", t.minStrictness}});
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
        std::cout << '\n';
    }
    return kOk;
}

int runChildSide() {
    const auto& all = validate::catalog();
    const auto it = std::find_if(all.begin(), all.end(), [](const validate::TestDef& t) { return options.childTest == t.name; });
    if (it == all.end() || options.modules.size() != 1) throw Error(kUsage, "bad child invocation");
    crashguard::install(false);
    childRun(*it, settingsFor(options.modules.front()), options.childReport);
    return kOk;
}

}  // namespace

CLI::App* addValidateCommand(CLI::App& app) {
    CLI::App* v = app.add_subcommand("validate", "Test plug-in modules the way strict hosts use them");
    v->footer(
        "Each test runs in a child process; a crash, or no progress for --timeout\n"
        "seconds, fails that test and the run goes on. One line per failure, then\n"
        "`N passed, M failed, K skipped` alone on the last line.\n"
        "\n"
        "Examples:\n"
        "  vst2host validate --list\n"
        "  vst2host validate my-plugin.so\n"
        "  vst2host validate my-plugin.so --strictness 10 --json > report.json\n"
        "  vst2host validate my-plugin.so --only processing,state --skip processing.subnormals\n"
        "\n"
        "Exit codes: 0 nothing failed; 1 a test failed (or the validator itself did);\n"
        "2 bad options.");
    v->add_option("MODULE", options.modules, "Plug-in modules (.so or .dll) to validate");
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
    v->add_flag("--json", options.json, "Print one JSON object with every test's result instead of text");
    v->add_flag("--list", options.list, "List the tests with a line on each (with --json: as JSON), and exit");
    v->add_option("--__child-test", options.childTest)->group("");
    v->add_option("--__child-report", options.childReport)->group("");
    return v;
}

int runValidate() {
    if (!options.childTest.empty()) return runChildSide();
    if (options.list) return listTests();
    if (options.modules.empty()) throw Error(kUsage, "validate: give at least one MODULE (or --list)");
    if (!(options.timeout > 0)) throw Error(kUsage, "--timeout must be more than 0 seconds");
    options.only = splitNames(options.only);
    options.skip = splitNames(options.skip);
    checkPatterns(options.only, "--only");
    checkPatterns(options.skip, "--skip");
    for (const std::string& m : options.modules) (void)settingsFor(m);  // options checked before anything runs

    std::error_code ec;
    const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    const std::string reportPath =
        (tmp / ("vst2host-validate-" + std::to_string(aerie::currentProcessId()) + ".txt")).string();
    const bool text = !options.json;
    int passed = 0, failed = 0, skipped = 0;
    json modules = json::array();
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& module : options.modules) {
        validate::Settings settings = settingsFor(module);
        if (text) {
            std::cout << "validating " << module << " at strictness " << options.strictness << ", seed "
                      << options.seed << '\n';
        }
        json tests = json::array();
        json pluginSummary;
        int mp = 0, mf = 0, ms = 0;
        std::string stopReason;  // once set, the remaining tests are skipped
        const auto moduleStart = std::chrono::steady_clock::now();
        for (const validate::TestDef& test : validate::catalog()) {
            if (!options.only.empty() && !selected(test.name, options.only)) continue;
            if (selected(test.name, options.skip)) continue;
            Outcome o;
            if (!stopReason.empty()) {
                o.result = Outcome::Result::Skipped;
                o.skipReason = stopReason;
            } else if (test.minStrictness > options.strictness) {
                o.result = Outcome::Result::Skipped;
                o.skipReason = "runs from strictness " + std::to_string(test.minStrictness);
            } else {
                for (int k = 0; k < options.repeat; ++k) {
                    settings.seed = options.seed + static_cast<std::uint64_t>(k);
                    Outcome run = runOne(test, settings, reportPath);
                    if (options.repeat > 1 && !run.failures.empty()) {
                        const std::string which =
                            "run " + std::to_string(k + 1) + " (seed " + std::to_string(settings.seed) + "): ";
                        for (auto& f : run.failures) f.insert(0, which);
                    }
                    const double total = o.seconds + run.seconds;
                    if (k == 0 || run.result == Outcome::Result::Failed) o = std::move(run);
                    o.seconds = total;
                    if (o.result == Outcome::Result::Failed) break;
                }
                settings.seed = options.seed;
                const std::string name = test.name;
                // Without a module, an entry or a usable record nothing else can run.
                if (o.result == Outcome::Result::Failed &&
                    (name == "loading.module" || name == "loading.entry" || name == "loading.record")) {
                    stopReason = "the module failed " + name;
                }
            }
            switch (o.result) {
            case Outcome::Result::Passed: ++mp; break;
            case Outcome::Result::Failed: ++mf; break;
            case Outcome::Result::Skipped: ++ms; break;
            }
            if (text) {
                if (o.result == Outcome::Result::Passed) {
                    std::cout << "pass  " << test.name << " (" << secondsText(o.seconds) << ")\n";
                } else if (o.result == Outcome::Result::Skipped) {
                    std::cout << "skip  " << test.name << ": " << o.skipReason << '\n';
                }
                for (const auto& f : o.failures) std::cout << "FAIL  " << test.name << ": " << f << '\n';
                for (const auto& w : o.warnings) std::cout << "warn  " << test.name << ": " << w << '\n';
                for (const auto& n : o.notes) std::cout << "note  " << test.name << ": " << n << '\n';
                if (!o.plugin.empty()) std::cout << "      " << o.plugin << '\n';
                std::cout.flush();
            }
            if (!o.plugin.empty()) pluginSummary = toUtf8(o.plugin);
            {
            }
            json t = {{"name", test.name}, {"result", resultName(o.result)}, {"seconds", o.seconds}};
            auto list = [](const std::vector<std::string>& v) {
                json a = json::array();
                for (const auto& s : v) a.push_back(toUtf8(s));
                return a;
            };
            t["failures"] = list(o.failures);
            t["warnings"] = list(o.warnings);
            t["notes"] = list(o.notes);
            if (o.result == Outcome::Result::Skipped) t["reason"] = toUtf8(o.skipReason);
            tests.push_back(t);
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - moduleStart).count();
        if (text && options.modules.size() > 1) {
            std::cout << module << ": " << mp << " passed, " << mf << " failed, " << ms << " skipped in "
                      << secondsText(seconds) << '\n';
        }
        modules.push_back({{"path", module},
                           {"plugin", pluginSummary},
                           {"passed", mp},
                           {"failed", mf},
                           {"skipped", ms},
                           {"seconds", seconds},
                           {"tests", tests}});
        passed += mp;
        failed += mf;
        skipped += ms;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (text) {
        std::cout << "took " << secondsText(seconds) << '\n'
                  << passed << " passed, " << failed << " failed, " << skipped << " skipped" << std::endl;
    } else {
        const json all = {{"strictness", options.strictness}, {"seed", options.seed},   {"repeat", options.repeat},
                          {"passed", passed},                 {"failed", failed},       {"skipped", skipped},
                          {"seconds", seconds},               {"modules", modules}};
        std::cout << all.dump(2) << std::endl;
    }
    return failed == 0 ? kOk : kFailed;
}

}  // namespace tool
