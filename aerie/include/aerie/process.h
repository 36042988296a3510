// Child programs: run one to its end (or its timeout) with its standard
// streams redirected to files, which works the same on every system and
// under wine; and what a program knows of itself (its own path, its process
// id, whether a stream is a terminal). Probing and rendering at arm's length
// run in the sandbox (<aerie/sandbox.h>), which is built on the same process
// start.
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

// [any thread; allocates; blocks until the program ends or its timeout]
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

// The path of the running program, for running it again as a child.
// [any thread; allocates]
std::string selfExecutable();

// Whether the stream is an interactive terminal. [any thread]
bool isTerminal(std::FILE* stream) noexcept;

// The process identifier of this process. [any thread]
int currentProcessId() noexcept;

}  // namespace aerie
