#include <aerie/sandbox.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <aerie/process.h>

#include "sandbox_shared.h"
#include "start_process.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace aerie {

namespace {

using Shared = SandboxReporter::Shared;
using detail::StallWatch;

void copyText(char* to, std::size_t size, const std::string& from) noexcept {
    const std::size_t n = std::min(from.size(), size - 1);
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

std::string oneLine(std::string s) {
    std::replace(s.begin(), s.end(), '\n', ' ');
    std::replace(s.begin(), s.end(), '\r', ' ');
    return s;
}

std::filesystem::path reportPathFor() {
    static std::atomic<unsigned> count{0};
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
    if (ec) folder = ".";
    return folder / ("aerie-sandbox-" + std::to_string(currentProcessId()) + "-" + std::to_string(count++) + ".txt");
}

// The child's report: "kind text" lines. "error K text" is the operation's
// HostError (kind number K).
void readReport(const std::filesystem::path& path, SandboxResult& r) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto space = line.find(' ');
        std::string kind = line.substr(0, space);
        std::string text = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (kind == "\x01error") {
            const auto gap = text.find(' ');
            r.errorKind = static_cast<ErrorKind>(std::strtol(text.substr(0, gap).c_str(), nullptr, 10));
            r.error = gap == std::string::npos ? std::string() : text.substr(gap + 1);
            continue;
        }
        r.messages.emplace_back(std::move(kind), std::move(text));
    }
}

// Runs the operation in the child, with the report open; answers the exit code.
int serve(Shared* shared, const std::string& reportPath, const SandboxOperation& operation) {
    std::FILE* report = std::fopen(reportPath.c_str(), "wb");
    if (report == nullptr) return 125;
    SandboxReporter reporter(shared, report);
    int code = 0;
    bool threw = false;
    try {
        code = operation(reporter);
    } catch (const HostError& e) {
        (void)std::fprintf(report, "\x01error %d %s\n", static_cast<int>(e.kind()), oneLine(e.what()).c_str());
        threw = true;
    } catch (const std::exception& e) {
        (void)std::fprintf(report, "\x01error 0 %s\n", oneLine(e.what()).c_str());
        threw = true;
    } catch (...) {
        (void)std::fprintf(report, "\x01error 0 an unknown exception\n");
        threw = true;
    }
    (void)std::fclose(report);
    shared->finished.store(threw ? 2u : 1u);
    return code;
}

}  // namespace

std::string detail::whereOf(const Shared& s) {
    std::string where(s.step, strnlen(s.step, sizeof s.step));
    if (where.empty()) where = "starting";
    if (s.inBlock != 0) {
        where += " block " + std::to_string(s.block + 1) + " (from frame " + std::to_string(s.frame) + ")";
        if (s.stageCount > 1 && s.stage < s.stageCount && s.stage < std::size(s.stageNames)) {
            const char* name = s.stageNames[s.stage];
            where += " in module " + std::to_string(s.stage + 1) + " (" +
                     std::string(name, strnlen(name, sizeof s.stageNames[0])) + ")";
        }
    }
    return where;
}

SandboxReporter::SandboxReporter(Shared* shared, void* report) noexcept : shared_(shared), report_(report) {
    shared_->started.store(1, std::memory_order_release);
}

void SandboxReporter::step(const std::string& what) noexcept {
    copyText(shared_->step, sizeof shared_->step, what);
    shared_->inBlock = 0;
    shared_->heartbeat.fetch_add(1, std::memory_order_release);
}

void SandboxReporter::stages(const std::vector<std::string>& names) noexcept {
    const std::size_t n = std::min(names.size(), std::size(shared_->stageNames));
    for (std::size_t i = 0; i < n; ++i) copyText(shared_->stageNames[i], sizeof shared_->stageNames[i], names[i]);
    shared_->stageCount = static_cast<std::uint32_t>(names.size());
    shared_->heartbeat.fetch_add(1, std::memory_order_release);
}

void SandboxReporter::block(std::uint64_t index, std::uint64_t firstFrame) noexcept {
    shared_->block = index;
    shared_->frame = firstFrame;
    shared_->stage = 0;
    shared_->inBlock = 1;
    shared_->heartbeat.fetch_add(1, std::memory_order_release);
}

void SandboxReporter::stage(std::size_t index) noexcept {
    shared_->stage = static_cast<std::uint32_t>(index);
    shared_->heartbeat.fetch_add(1, std::memory_order_release);
}

void SandboxReporter::send(const std::string& kind, const std::string& text) {
    auto* report = static_cast<std::FILE*>(report_);
    if (report == nullptr) return;
    // A line that cannot be written is one the parent does not see, as when
    // the child crashes.
    (void)std::fprintf(report, "%s %s\n", oneLine(kind).c_str(), oneLine(text).c_str());
    (void)std::fflush(report);
    shared_->heartbeat.fetch_add(1, std::memory_order_release);
}

std::string SandboxResult::describe() const {
    std::ostringstream s;
    switch (end) {
    case End::Finished: return "finished";
    case End::Failed: return error;
    case End::NotStarted: return "could not be started in a child process: " + why;
    case End::Crashed: s << "crashed while " << where << " (" << why << ")"; break;
    case End::Hung: s << "did not answer within " << timeoutSeconds << " s while " << where; break;
    case End::EndedProcess: s << "ended the process while " << where << " (exit code " << exitCode << ")"; break;
    }
    return s.str();
}

void SandboxResult::throwIfFailed() const {
    switch (end) {
    case End::Finished: return;
    case End::Failed: throw HostError(errorKind, error);
    case End::NotStarted: throw HostError(ErrorKind::Other, describe());
    case End::Crashed: throw HostError(ErrorKind::Crashed, "the module " + describe());
    case End::Hung: throw HostError(ErrorKind::Hung, "the module " + describe());
    case End::EndedProcess: throw HostError(ErrorKind::EndedProcess, "the module " + describe());
    }
}

std::string SandboxResult::message(const std::string& kind) const {
    for (const auto& [k, text] : messages) {
        if (k == kind) return text;
    }
    return {};
}

const char* exceptionName(unsigned long code) noexcept {
    switch (code) {
    case 0xC0000005: return "access violation";
    case 0xC000001D: return "illegal instruction";
    case 0xC0000094: return "integer division by zero";
    case 0xC00000FD: return "stack overflow";
    case 0xC0000409: return "stack buffer overrun";
    case 0xC0000096: return "privileged instruction";
    case 0xC000008E: return "floating-point division by zero";
    case 0xC0000090: return "floating-point invalid operation";
    case 0x80000003: return "breakpoint";
    default: return nullptr;
    }
}

std::string describeExceptionCode(unsigned long code) {
    char hex[16];
    (void)std::snprintf(hex, sizeof hex, "0x%08lX", code);
    const char* name = exceptionName(code);
    return std::string(name != nullptr ? name : "exception") + " (" + hex + ")";
}

#if defined(_WIN32)

const char* signalName(int) noexcept { return nullptr; }
std::string describeSignal(int signal) { return "signal " + std::to_string(signal); }

namespace {

HANDLE inheritable(HANDLE h) {
    HANDLE copy = nullptr;
    if (h == nullptr || h == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

LONG WINAPI endAsCrash(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

}  // namespace

bool detail::startChild(const std::vector<std::string>& argv, SandboxOptions::Output output, PROCESS_INFORMATION& pi,
                        std::string& why) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    STARTUPINFOA si{};
    si.cb = sizeof si;
    HANDLE out = nullptr;
    if (output != SandboxOptions::Output::Inherit) {
        si.dwFlags = STARTF_USESTDHANDLES;
        if (output == SandboxOptions::Output::Discard) {
            out = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
        } else {
            out = inheritable(GetStdHandle(STD_ERROR_HANDLE));
        }
        si.hStdInput = nullptr;
        si.hStdOutput = out;
        si.hStdError = out;
    }
    const bool started = startProcess(argv, si, pi, why);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) CloseHandle(out);
    return started;
}

void detail::prepareChild() {
    // A crash ends the process with its exception code, which the parent
    // names; no dialog and no debugger.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(endAsCrash);
}

SandboxResult runSandboxed(const SandboxOperation&, const SandboxOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    SandboxResult r;
    r.timeoutSeconds = options.timeoutSeconds;
    if (options.restart.empty()) {
        r.why = "no command to start the program again with";
        return r;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(Shared), nullptr);
    if (mapping == nullptr) {
        r.why = "no shared memory (Windows error " + std::to_string(GetLastError()) + ")";
        return r;
    }
    auto* shared = static_cast<Shared*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
    if (shared == nullptr) {
        r.why = "no shared memory (Windows error " + std::to_string(GetLastError()) + ")";
        CloseHandle(mapping);
        return r;
    }
    std::memset(static_cast<void*>(shared), 0, sizeof(Shared));
    const std::filesystem::path reportPath = reportPathFor();
    std::vector<std::string> argv = options.restart;
    argv.push_back(reportPath.string());
    argv.push_back(std::to_string(reinterpret_cast<std::uintptr_t>(mapping)));
    PROCESS_INFORMATION pi{};
    const bool started = detail::startChild(argv, options.output, pi, r.why);
    if (started) {
        StallWatch watch(*shared, options.timeoutSeconds);
        bool hung = false;
        while (WaitForSingleObject(pi.hProcess, 10) == WAIT_TIMEOUT) {
            if (watch.stalled()) {
                TerminateProcess(pi.hProcess, 1);
                WaitForSingleObject(pi.hProcess, INFINITE);
                hung = true;
                break;
            }
        }
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        readReport(reportPath, r);
        r.where = detail::whereOf(*shared);
        const std::uint32_t finished = shared->finished.load();
        if (hung) {
            r.end = SandboxResult::End::Hung;
        } else if (detail::crashCode(code)) {
            r.end = SandboxResult::End::Crashed;
            r.why = describeExceptionCode(code);
        } else if (finished == 2) {
            r.end = SandboxResult::End::Failed;
        } else if (finished == 1) {
            r.end = SandboxResult::End::Finished;
            r.exitCode = static_cast<int>(code);
        } else {
            r.end = SandboxResult::End::EndedProcess;
            r.exitCode = static_cast<int>(code);
        }
    }
    std::error_code ec;
    std::filesystem::remove(reportPath, ec);
    UnmapViewOfFile(shared);
    CloseHandle(mapping);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

int runSandboxChild(const std::string& reportArgument, const std::string& sharedArgument,
                    const SandboxOperation& operation) {
    detail::prepareChild();
    auto mapping = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::strtoull(sharedArgument.c_str(), nullptr, 10)));
    auto* shared = static_cast<Shared*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
    if (shared == nullptr) return 125;
    const int code = serve(shared, reportArgument, operation);
    UnmapViewOfFile(shared);
    return code;
}

#else  // POSIX

const char* signalName(int signal) noexcept {
    switch (signal) {
    case SIGSEGV: return "segmentation fault";
    case SIGBUS: return "bus error";
    case SIGFPE: return "arithmetic exception";
    case SIGILL: return "illegal instruction";
    case SIGABRT: return "aborted";
    case SIGKILL: return "killed";
    case SIGTRAP: return "trace trap";
    case SIGPIPE: return "broken pipe";
    case SIGTERM: return "terminated";
    default: return nullptr;
    }
}

std::string describeSignal(int signal) {
    const char* name = signalName(signal);
    return name != nullptr ? std::string(name) : "signal " + std::to_string(signal);
}

void detail::prepareForkedChild(SandboxOptions::Output output) {
    // Crashes take the default action, so that the parent sees the signal
    // even where a sanitizer's runtime had handlers of its own.
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &sa, nullptr);
    if (output == SandboxOptions::Output::ToStderr) {
        dup2(2, 1);
    } else if (output == SandboxOptions::Output::Discard) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
            close(null);
        }
    }
}

SandboxResult runSandboxed(const SandboxOperation& operation, const SandboxOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    SandboxResult r;
    r.timeoutSeconds = options.timeoutSeconds;
    void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        r.why = std::string("no shared memory: ") + std::strerror(errno);
        return r;
    }
    auto* shared = static_cast<Shared*>(memory);  // zero-filled by the system
    const std::filesystem::path reportPath = reportPathFor();
    // Nothing buffered may be written twice, by us and by the child.
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    // The child holds the write end of a pipe: its end closes it, which
    // wakes us at once instead of at the next look. (A child forked by
    // another thread meanwhile may hold it too; then we look every few
    // milliseconds.)
    int ended[2] = {-1, -1};
    if (pipe2(ended, O_CLOEXEC) != 0) ended[0] = ended[1] = -1;
    const pid_t pid = fork();
    if (pid == 0) {
        if (ended[0] >= 0) close(ended[0]);
        detail::prepareForkedChild(options.output);
        const int code = serve(shared, reportPath.string(), operation);
        (void)std::fflush(stdout);
        (void)std::fflush(stderr);
        // Not exit(): the parent's atexit handlers and static objects are the parent's.
        _exit(code);
    }
    if (ended[1] >= 0) close(ended[1]);
    if (pid < 0) {
        r.why = std::string("cannot fork: ") + std::strerror(errno);
        if (ended[0] >= 0) close(ended[0]);
        munmap(memory, sizeof(Shared));
        return r;
    }
    int status = 0;
    StallWatch stall(*shared, options.timeoutSeconds);
    bool hung = false;
    bool lost = false;
    int watch = ended[0];
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            lost = true;
            break;
        }
        if (stall.stalled()) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            hung = true;
            break;
        }
        if (watch >= 0) {
            pollfd p{watch, POLLIN, 0};
            if (poll(&p, 1, 2) > 0 && (p.revents & (POLLHUP | POLLERR | POLLIN)) != 0) {
                // The child's end (or a read end that will say no more).
                close(watch);
                watch = -1;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    if (watch >= 0) close(watch);
    readReport(reportPath, r);
    std::error_code ec;
    std::filesystem::remove(reportPath, ec);
    r.where = detail::whereOf(*shared);
    const std::uint32_t finished = shared->finished.load();
    if (lost) {
        r.end = SandboxResult::End::NotStarted;
        r.why = "lost track of the child process";
    } else if (hung) {
        r.end = SandboxResult::End::Hung;
    } else if (WIFSIGNALED(status)) {
        r.end = SandboxResult::End::Crashed;
        r.why = describeSignal(WTERMSIG(status));
    } else if (finished == 2) {
        r.end = SandboxResult::End::Failed;
    } else if (finished == 1) {
        r.end = SandboxResult::End::Finished;
        r.exitCode = WEXITSTATUS(status);
    } else {
        r.end = SandboxResult::End::EndedProcess;
        r.exitCode = WEXITSTATUS(status);
    }
    munmap(memory, sizeof(Shared));
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

int runSandboxChild(const std::string&, const std::string&, const SandboxOperation& operation) {
    // Where the child is a fork this is not used; run the operation here.
    Shared shared{};
    SandboxReporter reporter(&shared, nullptr);
    return operation(reporter);
}

#endif

int sandboxThreads(int wanted) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    (void)wanted;
    return 1;
#else
    return wanted < 1 ? 1 : wanted;
#endif
}

}  // namespace aerie
