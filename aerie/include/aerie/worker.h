// A sandbox that lives on: one child process, started once, that serves
// requests until it is told to end, so that a module loaded in it stays
// loaded from one request to the next (an instance rendered block by block,
// at arm's length).
//
// Requests and replies are bytes, whose meaning the caller chooses; they
// travel through a pipe (a socket pair on POSIX). Audio does not: both
// processes see the same buffers, `inputChannels` and `outputChannels`
// buffers of `frames` float samples in shared memory, so a block's samples
// are written once by the parent and once by the child, and never copied
// through the pipe.
//
// Each request is watched as runSandboxed watches its operation: a child
// that reports no progress for `timeoutSeconds` is hung and killed, and a
// crash or an end of the process is told with where the child was
// ("crashed while rendering block 12 (from frame 5632)"). Then the worker is
// dead, and every call throws that HostError; a new worker can be started
// at once. A handler that throws HostError fails its request only: the
// caller gets the same kind and message, and the worker serves on.
//
// On POSIX the child is a fork of the caller, so the handler is any
// function. On Windows the program is started again (`restart`), and its
// main hands the handler to runWorkerChild with the argument the parent
// appended.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <aerie/host_error.h>
#include <aerie/sandbox.h>

namespace aerie {

// The child's side of one request.
// [the child's serving thread; the buffers may be handed to the audio thread
// of an instance rendered for the request]
struct WorkerCall {
    const std::vector<unsigned char>& request;
    // Where the child is, for the parent's report: step(), stages(),
    // block() and stage() as in a sandbox. send() is not delivered: what
    // the parent needs goes into the reply.
    SandboxReporter& reporter;
    // The shared buffers: what the parent wrote into its inputs(), and its
    // outputs() once the reply is sent.
    float* const* inputs;
    float* const* outputs;
    int inputChannels;
    int outputChannels;
    std::int32_t frames;
};

// Answers one request with the reply's bytes, or throws (HostError keeps its
// kind; any other exception becomes kind Other). Called for each request
// in turn, in the child, for as long as the worker lives: state it keeps
// (a module, an instance) lives with it.
using WorkerHandler = std::function<std::vector<unsigned char>(WorkerCall&)>;

struct WorkerOptions {
    // A request is hung once the child has reported no progress (a step,
    // block or stage, or a byte of its reply) for this long; 0: no limit.
    // A child still starting is given at least kChildStartSeconds, and the
    // timeout counts from its start.
    double timeoutSeconds = 0;
    // Where what the child prints goes, as for a sandbox.
    SandboxOptions::Output output = SandboxOptions::Output::ToStderr;
    // Windows: the program and arguments that start this program again
    // into a call of runWorkerChild. Not used where the child is a fork.
    std::vector<std::string> restart;
    // The shared audio buffers: so many each way (at most 1024), of so many
    // frames (1 GiB of samples in all at most).
    int inputChannels = 2;
    int outputChannels = 2;
    std::int32_t frames = 4096;
};

// The parent's side of a child that serves requests.
// [one thread at a time] for every call: one request at a time (a second
// thread's call meanwhile throws HostError of kind WrongState). Distinct
// workers may serve on distinct threads, within sandboxThreads() of them
// being started at once.
class Worker {
public:
    // Starts the child. Throws HostError: kind BadArgument for buffers out
    // of range, kind Other when no child can be started. [allocates; blocks]
    Worker(const WorkerHandler& handler, const WorkerOptions& options);
    // Asks the child to end, and ends it if it has not within a second.
    // [blocks]
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Sends a request and waits for its reply (each 2 GiB at most). Throws
    // the handler's HostError (the worker serves on), or HostError of kind
    // Crashed, Hung or EndedProcess with "the module " + ending().describe()
    // (the worker is dead, as it is for every call after). [allocates; blocks]
    std::vector<unsigned char> call(const std::vector<unsigned char>& request);

    // The shared buffers, the same the handler gets: write the inputs
    // before a call, read the outputs after it. [between calls; no
    // allocation]
    float* const* inputs() const noexcept;
    float* const* outputs() const noexcept;
    int inputChannels() const noexcept;
    int outputChannels() const noexcept;
    std::int32_t frames() const noexcept;

    // Whether the child still serves. [no allocation]
    bool alive() const noexcept;
    // How the child ended once it is dead: Crashed, Hung or EndedProcess,
    // with where and why. While it lives, End::Finished.
    const SandboxResult& ending() const noexcept;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Windows child side: `argument` is the last argument the parent appended
// to `restart`. Serves until the parent ends the worker; answers the exit
// code for main. [the child's main thread; allocates; blocks]
int runWorkerChild(const std::string& argument, const WorkerHandler& handler);

}  // namespace aerie
