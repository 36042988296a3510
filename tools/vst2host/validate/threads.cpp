// Threads: what hosts do at once. Instances render side by side on threads
// of their own; the user interface sets parameters and restores state while
// the audio thread renders.
#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/tests.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace validate {

namespace {

// The threads' meeting point between blocks. std::barrier is not used: the
// standard library of the Windows cross compiler loses wake-ups in it, and
// the instances' threads then wait for ever.
class BlockBarrier {
public:
    explicit BlockBarrier(int count) : count_(count) {}
    void arriveAndWait() {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::uint64_t generation = generation_;
        if (++waiting_ >= count_) {
            release();
        } else {
            woken_.wait(lock, [&] { return generation != generation_; });
        }
    }
    // A thread that is done: the others no longer wait for it.
    void arriveAndDrop() {
        std::lock_guard<std::mutex> lock(mutex_);
        --count_;
        if (count_ > 0 && waiting_ >= count_) release();
    }

private:
    void release() {
        waiting_ = 0;
        ++generation_;
        woken_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable woken_;
    int count_;
    int waiting_ = 0;
    std::uint64_t generation_ = 0;
};

}  // namespace

// Several instances, each on its own thread with its own input, in step
// block by block as a host's parallel tracks run, give what each gives alone.
void testConcurrentInstances(Context& ctx) {
    const int count = std::max(2, ctx.strictness() / 2);
    const float rate = 44100.0f;
    const std::int32_t block = 256;
    std::vector<Material> materials;
    materials.reserve(static_cast<std::size_t>(count));
    {
        Plug probe(ctx, rate, block, false);
        for (int i = 0; i < count; ++i) materials.push_back(materialFor(ctx, probe, seconds(ctx, 0.5)));
    }
    std::vector<std::vector<std::vector<float>>> alone;
    alone.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        alone.push_back(freshRender(ctx, materials[static_cast<std::size_t>(i)], rate, block,
                                    renderWhere(rate, block) + ", input " + std::to_string(i + 1) + " alone"));
    }
    const auto again = freshRender(ctx, materials[0], rate, block, renderWhere(rate, block) + ", input 1 alone again");
    if (!difference(alone[0], again).empty()) {
        ctx.skip("two fresh instances given the same input differ, so independence cannot be compared");
    }
    // Instances are created one after the other: the entry is not called
    // from two threads at once.
    std::vector<std::unique_ptr<Plug>> plugs;
    plugs.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) plugs.push_back(std::make_unique<Plug>(ctx, rate, block));
    BlockBarrier sync(count);
    std::vector<std::unique_ptr<Renderer>> renderers;
    renderers.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        Run run;
        run.where = renderWhere(rate, block) + ", instance " + std::to_string(i + 1) + " of " + std::to_string(count) +
                    " on threads of their own";
        run.keep = true;
        run.budget = -1;
        run.between = [&sync](std::int64_t) { sync.arriveAndWait(); };
        renderers.push_back(std::make_unique<Renderer>(ctx, *plugs[static_cast<std::size_t>(i)],
                                                       materials[static_cast<std::size_t>(i)], run));
    }
    {
        std::vector<std::jthread> threads;
        threads.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([&, i] {
                Renderer& r = *renderers[static_cast<std::size_t>(i)];
                while (r.next()) {
                }
                sync.arriveAndDrop();
            });
        }
    }
    for (int i = 0; i < count; ++i) {
        if (renderers[static_cast<std::size_t>(i)]->failed()) return;
        const std::string diff = difference(renderers[static_cast<std::size_t>(i)]->outputs(), alone[static_cast<std::size_t>(i)]);
        if (!diff.empty()) {
            ctx.fail("instance " + std::to_string(i + 1) + " of " + std::to_string(count) +
                     " sounds different rendering beside the others on their threads than alone (" + diff +
                     "): instances share state");
            return;
        }
    }
}

// One thread sets and reads parameters and their texts, as a user interface
// does, while another renders: nothing crashes or hangs, the output stays
// finite.
void testParameterThreads(Context& ctx) {
    const float rate = 44100.0f;
    const std::int32_t block = 256;
    Plug p(ctx, rate, block);
    const std::int32_t n = p.e->numParams;
    if (n == 0) ctx.skip("the plug-in has no parameters");
    const Material m = materialFor(ctx, p, seconds(ctx, 1.0));
    Run run;
    run.where = renderWhere(rate, block) + " while another thread sets and reads parameters";
    std::mt19937_64 rng(ctx.rng());
    std::int64_t calls = 0;
    {
        AudioThread audio(ctx, p, m, run);
        std::vector<char> text(256);
        ctx.step("setting and reading parameters and their texts while the audio thread renders");
        while (!audio.finished()) {
            const auto i = static_cast<std::int32_t>(rng() % static_cast<std::uint64_t>(n));
            p.instance->raw().setParameter(i, static_cast<float>(rng() % 1001) / 1000.0f);
            (void)p.instance->raw().getParameter(i);
            std::fill(text.begin(), text.end(), '\0');
            p.dispatch(effGetParamDisplay, i, 0, text.data());
            std::fill(text.begin(), text.end(), '\0');
            p.dispatch(effGetParamName, i, 0, text.data());
            std::fill(text.begin(), text.end(), '\0');
            p.dispatch(effGetParamLabel, i, 0, text.data());
            ++calls;
        }
    }
    ctx.note(std::to_string(calls) + " rounds of parameter calls beside the rendering");
}

// The state restored from the main thread while another thread renders, as
// many hosts restore a session or a preset: nothing crashes, the output
// stays finite, and the instance holds the state an idle instance holds
// once it is restored there (whether that state sounds right is
// state.restore's question; a plug-in need not clear its sound on resume,
// so the sound is not compared here).
void testRestoreWhileProcessing(Context& ctx) {
    const float rate = 44100.0f;
    const std::int32_t block = 256;
    SavedState state;
    {
        Plug a(ctx, rate, block, false);
        if (a.e->numParams == 0 && a.e->numPrograms <= 1 && !(a.e->flags & effFlagsProgramChunks)) {
            ctx.skip("the plug-in has no parameters, programs or chunks: no state to restore");
        }
        randomiseState(ctx, a);
        state = saveState(ctx, a);
    }
    Plug d(ctx, rate, block);
    const Material busy = materialFor(ctx, d, seconds(ctx, 1.0));
    Run run;
    run.where = renderWhere(rate, block) + " while the main thread restores a state";
    {
        AudioThread audio(ctx, d, busy, run);
        while (audio.blocks() < 4 && !audio.finished()) std::this_thread::yield();
        restoreState(ctx, d, state);
        const std::int64_t restoredAt = audio.blocks();
        while (audio.blocks() < restoredAt + 4 && !audio.finished()) std::this_thread::yield();
        audio.stop();
        audio.join();
        if (audio.renderer().failed()) return;
    }
    Plug c(ctx, rate, block, false);
    restoreState(ctx, c, state);
    const SavedState busyState = saveState(ctx, d);
    const SavedState idleState = saveState(ctx, c);
    std::string diff;
    if (busyState.chunk != idleState.chunk) {
        diff = "one gives a chunk, the other does not";
    } else if (busyState.chunk) {
        diff = firstDifference(idleState.bytes, busyState.bytes);
    } else if (busyState.program != idleState.program) {
        diff = "program " + std::to_string(idleState.program + 1) + ", then " + std::to_string(busyState.program + 1);
    } else {
        for (std::size_t i = 0; i < busyState.parameters.size() && i < idleState.parameters.size() && diff.empty(); ++i) {
            if (busyState.parameters[i] != idleState.parameters[i]) {
                diff = parameterName(d, static_cast<std::int32_t>(i)) + ": " + number(idleState.parameters[i]) + ", then " +
                       number(busyState.parameters[i]);
            }
        }
    }
    if (!diff.empty()) {
        ctx.fail("the state (" + state.describe() + ") restored while another thread rendered reads back otherwise than " +
                 "restored into an idle instance (idle, then while rendering: " + diff + ")");
    }
}

const std::vector<TestDef>& threadTests() {
    // name, what it checks, why, runs from, fails from (0: always), the test
    static const std::vector<TestDef> tests = {
        {"threads.instances", "several instances on threads of their own, in step, sound as each does alone",
         "hosts render tracks in parallel, one instance per track; global state shared between instances mixes them", 2, 0,
         testConcurrentInstances},
        {"threads.parameters", "one thread sets and reads parameters and texts while another renders",
         "hosts call parameters from the user interface's thread while the audio thread renders", 1, 0, testParameterThreads},
        {"threads.state-restore", "state restored from the main thread while another renders (a warning below 7)",
         "many hosts restore presets and sessions while audio runs; the interface does not say they may", 1, 7,
         testRestoreWhileProcessing},
    };
    return tests;
}

}  // namespace validate
