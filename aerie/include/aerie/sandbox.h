// Running an operation at arm's length: in a child process with a time
// limit, so that a module that crashes, hangs or ends the process takes
// down only the child, and the caller learns what the child was doing.
//
// On Linux and other POSIX systems the child is a fork of the calling
// process, so the operation is any function. On Windows there is no fork:
// the program is started again (`SandboxOptions::restart`), and its main
// hands the operation to runSandboxChild with the two arguments the parent
// appended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <aerie/host_error.h>

namespace aerie {

// The child's side: where the operation is, for the parent's report, and
// messages for the parent. Every call counts as progress.
// [the child's operation thread; step(), stages(), block() and stage() take
// no lock and do not allocate, so block() and stage() may be called on the
// audio thread; send() allocates]
class SandboxReporter {
public:
    // A step, in words that complete "crashed while ...": "asking for its
    // vendor (effGetVendorString)". Ends any block.
    void step(const std::string& what) noexcept;
    // The modules being rendered, named in reports when there are two or more.
    void stages(const std::vector<std::string>& names) noexcept;
    // While rendering (after a step such as "rendering"): the block (from 0)
    // and its first frame. Allocates nothing and makes no system call.
    void block(std::uint64_t index, std::uint64_t firstFrame) noexcept;
    // The module (from 0) about to be called in the current block.
    void stage(std::size_t index) noexcept;
    // A message for the parent (SandboxResult::messages): a kind word and
    // one line of text.
    void send(const std::string& kind, const std::string& text);

    struct Shared;
    // Made in the child as it starts: from then on the timeout counts.
    SandboxReporter(Shared* shared, void* report) noexcept;

private:
    Shared* shared_;
    void* report_;
};

using SandboxOperation = std::function<int(SandboxReporter&)>;

// The least time a child is given to start (its process made, its runtime
// loaded) before a timeout counts as a hang.
inline constexpr double kChildStartSeconds = 30;

struct SandboxOptions {
    // The child is hung once it has reported no progress (a step, block,
    // stage or message) for this long; 0: no limit. A child still starting
    // (a new process, slow under an emulator) is given at least
    // kChildStartSeconds, and the timeout counts from its start.
    double timeoutSeconds = 0;
    // Where what the child (the plug-in) prints goes: our standard error
    // (the default, so that it never mixes with a program's output), our
    // standard output, or nowhere.
    enum class Output { ToStderr, Inherit, Discard };
    Output output = Output::ToStderr;
    // Windows: the program and arguments that start this program again
    // into a call of runSandboxChild. Not used where the child is a fork.
    std::vector<std::string> restart;
};

struct SandboxResult {
    enum class End {
        Finished,      // the operation returned (exitCode is its answer)
        Failed,        // the operation threw (errorKind, error)
        Crashed,       // the child died of a signal or exception (why)
        Hung,          // no progress for the time allowed
        EndedProcess,  // the child ended before the operation returned (exitCode)
        NotStarted,    // no child could be started (why)
    };
    End end = End::NotStarted;
    int exitCode = 0;
    std::string why;    // "segmentation fault", "access violation (0xC0000005)"
    std::string where;  // "rendering block 12 (from frame 5632) in module 2 (ZamComp)"
    double timeoutSeconds = 0;
    ErrorKind errorKind = ErrorKind::Other;
    std::string error;
    // What the operation sent, in order: (kind, text).
    std::vector<std::pair<std::string, std::string>> messages;
    // The start-up and wait, for the benchmark: seconds from the call to the
    // child's end.
    double seconds = 0;

    bool ok() const noexcept { return end == End::Finished; }
    // One line for a user, after "the module ": "crashed while rendering
    // block 12 (from frame 5632) in module 2 (ZamComp) (segmentation fault)",
    // "did not answer within 30 s while ...", "ended the process while ...
    // (exit code 3)"; for Failed the error itself, for NotStarted the reason.
    std::string describe() const;
    // Throws HostError (Crashed, Hung, EndedProcess, or the operation's own
    // kind) with "the module " + describe() unless the operation finished.
    void throwIfFailed() const;
    // The text of the first message of a kind, or "".
    std::string message(const std::string& kind) const;
};

// Runs `operation` in a child process and waits for it. Safe to call from
// several threads at once, within sandboxThreads().
// [any thread; allocates; blocks until the child ends or hangs]
SandboxResult runSandboxed(const SandboxOperation& operation, const SandboxOptions& options);

// How many threads may run sandboxes at once: `wanted`, except in a build
// with AddressSanitizer, whose runtime can leave a lock held in a child
// forked while another thread is inside it, so that the child never starts:
// there, 1.
int sandboxThreads(int wanted) noexcept;  // [any thread]

// Windows child side: `reportArgument` and `sharedArgument` are the two last
// arguments the parent appended to `restart`. Answers the exit code for main.
// [the child's main thread; allocates]
int runSandboxChild(const std::string& reportArgument, const std::string& sharedArgument,
                    const SandboxOperation& operation);

// The one table of how processes die: "segmentation fault", "aborted",
// "signal 12" for POSIX signals; "access violation (0xC0000005)" for
// Windows exception codes. [any thread; allocates]
std::string describeSignal(int signal);
std::string describeExceptionCode(unsigned long code);
// The same without allocating, for crash handlers: null for unnamed ones.
// [any thread, signal handlers included]
const char* signalName(int signal) noexcept;
const char* exceptionName(unsigned long code) noexcept;

}  // namespace aerie
