// Child processes for probing modules at arm's length: a module that crashes
// or hangs takes down only the child. Standard streams are redirected to
// files, which works the same on every system and under wine.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace aerie {

struct ProcessOptions {
    std::string stdinPath;        // empty: inherit
    std::string stdoutPath;       // empty: inherit
    std::string stderrPath;       // empty: inherit
    bool stdoutToStderr = false;  // the child's standard output goes to our standard error
    double timeoutSeconds = 0;    // 0: wait as long as it takes
};

struct ProcessResult {
    enum class End { Exited, Crashed, TimedOut, NotStarted };
    End end = End::NotStarted;
    int exitCode = 0;    // for Exited
    std::string why;     // for Crashed ("segmentation fault", "access violation (0xC0000005)"), NotStarted
};

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

// The path of the running program, for running it again as a child.
std::string selfExecutable();

// Whether the stream is an interactive terminal.
bool isTerminal(std::FILE* stream) noexcept;

// The process identifier of this process.
int currentProcessId() noexcept;

#if defined(_WIN32)
// One argument quoted so that the child's command-line parser gives it back
// unchanged.
std::string quoteArgument(const std::string& arg);
// "access violation (0xC0000005)" for an exception code that ended a process.
std::string describeException(unsigned long code);
#endif

}  // namespace aerie
