// What the sandbox and the worker share (not installed): the progress a
// child writes into shared memory, how the parent watches it and words it,
// and how a child is set up and started.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <aerie/sandbox.h>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace aerie {

// Where the child is, in memory both processes see. The child writes it
// without system calls; the parent reads the heartbeat while it waits and
// the rest once the child has ended (or finished a request), when nothing
// writes it any more.
struct SandboxReporter::Shared {
    std::atomic<std::uint32_t> started;  // the child's reporter is made
    std::atomic<std::uint32_t> heartbeat;
    std::atomic<std::uint32_t> finished;
    std::uint32_t inBlock;
    std::uint32_t stage;
    std::uint64_t block;
    std::uint64_t frame;
    std::uint32_t stageCount;
    char stageNames[32][96];
    char step[1024];
};

namespace detail {

static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "the heartbeat is shared between processes");

// Tells a child that stopped making progress: its heartbeat unchanged for
// the timeout (0: never), or, while it has not started, for the longer of
// the timeout and kChildStartSeconds. Its start is a sign of life too: the
// timeout counts from then, not from before it (a child that came up late
// has the whole timeout to answer). `progress()` counts other signs of life.
class StallWatch {
public:
    StallWatch(const SandboxReporter::Shared& shared, double timeoutSeconds)
        : shared_(shared), timeout_(timeoutSeconds), seen_(shared.heartbeat.load()),
          starting_(shared.started.load(std::memory_order_acquire) == 0), since_(std::chrono::steady_clock::now()) {}
    bool stalled() {
        const std::uint32_t now = shared_.heartbeat.load(std::memory_order_acquire);
        const auto t = std::chrono::steady_clock::now();
        if (now != seen_) {
            seen_ = now;
            since_ = t;
            return false;
        }
        if (starting_ && shared_.started.load(std::memory_order_acquire) != 0) {
            starting_ = false;
            since_ = t;
            return false;
        }
        const double limit = starting_ ? std::max(timeout_, kChildStartSeconds) : timeout_;
        return timeout_ > 0 && std::chrono::duration<double>(t - since_).count() >= limit;
    }
    void progress() { since_ = std::chrono::steady_clock::now(); }

private:
    const SandboxReporter::Shared& shared_;
    double timeout_;
    std::uint32_t seen_;
    bool starting_;
    std::chrono::steady_clock::time_point since_;
};

// "rendering block 12 (from frame 5632) in module 2 (ZamComp)".
std::string whereOf(const SandboxReporter::Shared& s);

#if defined(_WIN32)
// Starts `argv` with the child's output where `output` says, inheriting
// inheritable handles. Answers whether it started; else `why` says so.
bool startChild(const std::vector<std::string>& argv, SandboxOptions::Output output, PROCESS_INFORMATION& pi,
                std::string& why);
// A child's exit code that is a crash's exception code.
inline bool crashCode(DWORD code) { return code >= 0xC0000000u || code == 0x80000003u; }
// The child's side: crashes end the process with their code, no dialog.
void prepareChild();
#else
// In a forked child: crashes take the default action, the output goes where
// `output` says.
void prepareForkedChild(SandboxOptions::Output output);
#endif

}  // namespace detail
}  // namespace aerie
