#include <aerie/process.h>
#include <aerie/sandbox.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "start_process.h"

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace aerie {

#if defined(_WIN32)

namespace {

// Quotes one argument so that the child's command-line parser gives it back
// unchanged.
std::string quoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
        } else if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
            out += '"';
            backslashes = 0;
        } else {
            out.append(backslashes, '\\');
            out += c;
            backslashes = 0;
        }
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

}  // namespace

bool detail::startProcess(const std::vector<std::string>& argv, STARTUPINFOA& si, PROCESS_INFORMATION& pi,
                          std::string& why) {
    std::string commandLine;
    for (const std::string& a : argv) commandLine += (commandLine.empty() ? "" : " ") + quoteArgument(a);
    std::vector<char> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back('\0');
    DWORD error = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (attempt > 0) Sleep(50 * static_cast<DWORD>(attempt));
        if (CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return true;
        error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) break;
    }
    why = "cannot start " + argv.front() + " (Windows error " + std::to_string(error) + ")";
    return false;
}

namespace {

HANDLE openInheritable(const std::string& path, bool write) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE inheritableCopy(DWORD which) {
    HANDLE h = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (h == nullptr || h == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    ProcessResult result;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    HANDLE in = options.stdinPath.empty() ? inheritableCopy(STD_INPUT_HANDLE) : openInheritable(options.stdinPath, false);
    HANDLE err = options.stderrPath.empty() ? inheritableCopy(STD_ERROR_HANDLE) : openInheritable(options.stderrPath, true);
    HANDLE out = nullptr;
    if (options.stdoutToStderr) {
        out = inheritableCopy(STD_ERROR_HANDLE);
    } else {
        out = options.stdoutPath.empty() ? inheritableCopy(STD_OUTPUT_HANDLE) : openInheritable(options.stdoutPath, true);
    }
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    const bool started = detail::startProcess(argv, si, pi, result.why);
    for (HANDLE h : {in, out, err}) {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    if (!started) return result;
    const DWORD wait = options.timeoutSeconds > 0 ? static_cast<DWORD>(options.timeoutSeconds * 1000.0) : INFINITE;
    if (WaitForSingleObject(pi.hProcess, wait) == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
        result.end = ProcessResult::End::TimedOut;
    } else {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        if (code >= 0xC0000000u || code == 0x80000003u) {
            result.end = ProcessResult::End::Crashed;
            result.why = describeExceptionCode(code);
        } else {
            result.end = ProcessResult::End::Exited;
            result.exitCode = static_cast<int>(code);
        }
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return result;
}

std::string selfExecutable() {
    char buffer[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    return std::string(buffer, n);
}

bool isTerminal(std::FILE* stream) noexcept { return _isatty(_fileno(stream)) != 0; }

int currentProcessId() noexcept { return _getpid(); }

#else  // POSIX

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    ProcessResult result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!options.stdinPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, 0, options.stdinPath.c_str(), O_RDONLY, 0);
    }
    if (options.stdoutToStderr) {
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
    } else if (!options.stdoutPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (!options.stderrPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        result.why = "cannot start " + argv.front() + ": " + std::strerror(rc);
        return result;
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(options.timeoutSeconds));
    for (;;) {
        const pid_t done = waitpid(pid, &status, options.timeoutSeconds > 0 ? WNOHANG : 0);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            result.why = "lost track of the child process";
            return result;
        }
        if (options.timeoutSeconds > 0 && std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            result.end = ProcessResult::End::TimedOut;
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFSIGNALED(status)) {
        result.end = ProcessResult::End::Crashed;
        result.why = describeSignal(WTERMSIG(status));
    } else {
        result.end = ProcessResult::End::Exited;
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

std::string selfExecutable() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

bool isTerminal(std::FILE* stream) noexcept { return isatty(fileno(stream)) != 0; }

int currentProcessId() noexcept { return static_cast<int>(getpid()); }

#endif

}  // namespace aerie
