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
#include "tools/vst2host/validate.h"

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

// A report file no other child of this run uses.
std::string newReportPath() {
    static std::atomic<unsigned> serial{0};
    std::error_code ec;
    const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    return (tmp / ("vst2host-validate-" + std::to_string(aerie::currentProcessId()) + "-" +
                   std::to_string(serial.fetch_add(1)) + ".txt"))
        .string();
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
    if (it == all.end() || options.modules.size() != 1) throw Error(kUsage, "bad child invocation");
    crashguard::install(false);
    childRun(*it, settingsFor(options.modules.front()), options.childReport);
    return kOk;
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
        Outcome run = runOne(test, settings, newReportPath());
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
    v->add_option("--__child-report", options.childReport)->group("");
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

    const int jobs = std::min<int>(options.jobs, static_cast<int>(options.modules.size()));
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    const int perModule = options.testJobs > 0 ? options.testJobs : std::max(1, cores / jobs);
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
