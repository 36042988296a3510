// Lifecycle: instances opened and closed, suspended and resumed, at every
// rate and block size, latency and tail.
#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/tests.h"

namespace validate {

void testOpenClose(Context& ctx) {
    const int cycles = 40 * ctx.strictness();
    const int warmUp = std::max(cycles / 5, 10);
    // Scratch buffers with room on both sides: writing out of bounds is for
    // the guard tests to report, not for this one to suffer.
    constexpr std::size_t kFrames = 512, kSlack = 64;
    std::vector<float> out(kFrames * 64 + 2 * kSlack);
    ctx.module();
    aerie::EventList notes;
    notes.addNoteOn(0, 60, 100);
    notes.addMidi(100, 0x80, 60, 0);
    int done = 0;
    auto cycle = [&](int i) {
        ctx.step("open/close cycle " + std::to_string(++done) + " of " + std::to_string(cycles));
        ValidatorHost host;
        host.blockSize = 512;
        aerie::Instance instance(ctx.module(), host);
        AEffect* e = instance.raw().effect();
        instance.open();
        instance.configure(i % 2 == 0 ? 44100.0 : 48000.0, 512);
        instance.resume();
        const std::int32_t channels = std::max(e->numInputs, e->numOutputs);
        if (channels >= 0 && channels <= 64) {
            std::vector<float*> in(static_cast<std::size_t>(std::max(channels, 1))), outs(in.size());
            std::fill(out.begin(), out.end(), 0.0f);
            for (std::size_t c = 0; c < in.size(); ++c) in[c] = outs[c] = nullptr;
            std::vector<float> input(kFrames * in.size() + 2 * kSlack, 0.1f);
            for (std::int32_t c = 0; c < channels; ++c) {
                in[static_cast<std::size_t>(c)] = input.data() + kSlack + kFrames * static_cast<std::size_t>(c);
                outs[static_cast<std::size_t>(c)] = out.data() + kSlack + kFrames * static_cast<std::size_t>(c);
            }
            if (isInstrument(e, 0)) instance.raw().dispatch(effProcessEvents, 0, 0, notes.get());
            if ((e->flags & effFlagsCanReplacing) && e->processReplacing != nullptr) {
                instance.raw().processReplacing(in.data(), outs.data(), 512);
            } else if (e->process != nullptr) {
                instance.raw().process(in.data(), outs.data(), 512);
            }
            // Events never rendered: what the plug-in queued goes with the instance.
            if (isInstrument(e, 0)) instance.raw().dispatch(effProcessEvents, 0, 0, notes.get());
        }
        instance.suspend();
        instance.close();
    };
    // A plug-in that takes long to open gets fewer cycles, within a time
    // budget that grows with strictness; the note says so.
    using Clock = std::chrono::steady_clock;
    const double budget = 0.6 * ctx.strictness();
    const auto start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    int warmed = 0;
    while (warmed < warmUp && (warmed < 1 || elapsed() < 0.2 * budget)) cycle(warmed++);
    const double perCycleSeconds = elapsed() / warmed;
    constexpr int kSegments = 4;
    const int affordable = static_cast<int>((budget - elapsed()) / std::max(perCycleSeconds, 1e-9));
    const int perSegment = std::max(std::min(cycles - warmUp, affordable) / kSegments, 1);
    if (warmed + perSegment * kSegments < cycles) {
        char b[160];
        (void)std::snprintf(b, sizeof b, "a cycle takes %.3f s, so only %d of the %d cycles fit the %.0f s budget",
                            perCycleSeconds, warmed + perSegment * kSegments, cycles, budget);
        ctx.note(b);
    }
    std::size_t memory[kSegments + 1];
    memory[0] = memoryInUse();
    for (int s = 0; s < kSegments; ++s) {
        for (int i = 0; i < perSegment; ++i) cycle(i);
        memory[s + 1] = memoryInUse();
    }
    if (memory[0] == 0) {
        ctx.warn("no way to measure this process's memory here; leaks are not looked for");
        return;
    }
    bool steady = true;
    for (int s = 0; s < kSegments; ++s) steady = steady && memory[s + 1] > memory[s];
    const std::size_t growth = memory[kSegments] > memory[0] ? memory[kSegments] - memory[0] : 0;
    const std::size_t measured = static_cast<std::size_t>(perSegment) * kSegments;
    const std::size_t perCycle = growth / std::max<std::size_t>(measured, 1);
    if (steady && perCycle >= 64) {
        ctx.fail("memory grew steadily over " + std::to_string(measured) + " open/close cycles: " +
                 std::to_string(growth) + " bytes, about " + std::to_string(perCycle) + " bytes a cycle (" +
                 std::to_string(memory[0]) + " to " + std::to_string(memory[kSegments]) + ")");
    } else {
        ctx.note(std::to_string(warmed + measured) + " open/close cycles; memory " + std::to_string(memory[0]) + " -> " +
                 std::to_string(memory[kSegments]) + " bytes after warming up");
    }
}

void testSuspendResume(Context& ctx) {
    const int cycles = 20 * ctx.strictness();
    Plug p(ctx, 44100.0f, 256);
    Material m = materialFor(ctx, p, 256.0 * cycles / 44100.0, 1.0);
    Run run;
    run.where = "process after a suspend and resume, blocks of 256";
    Renderer r(ctx, p, m, run);
    for (int i = 0; i < cycles && !r.done(); ++i) {
        p.suspend();
        if (ctx.strictness() >= 6 && i % 10 == 5) p.suspend();  // twice, as some hosts do
        p.resume();
        if (ctx.strictness() >= 6 && i % 10 == 7) p.resume();
        if (!r.next()) return;
    }
}

void testRates(Context& ctx) {
    std::unique_ptr<Plug> reuse;
    for (double rate : ctx.settings.rates) {
        const auto r = static_cast<float>(rate);
        if (ctx.outOfTime(number(r) + " Hz")) break;
        Plug& p = instanceAt(ctx, reuse, r, 512);
        Material m = materialFor(ctx, p, seconds(ctx, 0.3));
        Run run;
        run.where = renderWhere(r, 512);
        Renderer(ctx, p, m, run).renderAll();
    }
}

void testBlocks(Context& ctx) {
    std::vector<std::int32_t> blocks = ctx.settings.blocks;
    std::unique_ptr<Plug> reuse;
    for (std::int32_t block : blocks) {
        if (ctx.outOfTime("blocks of " + std::to_string(block))) break;
        Plug& p = instanceAt(ctx, reuse, 44100.0f, block);
        const double frames = std::max<double>(4.0 * block, 4096.0 * ctx.strictness() / kDefaultStrictness);
        Material m = materialFor(ctx, p, frames / 44100.0);
        Run run;
        run.where = renderWhere(44100.0f, block);
        run.checks = kFinite | kGuards;
        // Full blocks first, then shorter ones, as hosts give at the end of a loop.
        const std::int64_t full = std::max<std::int64_t>(static_cast<std::int64_t>(m.frames) / block / 2, 1);
        run.blockSize = [&ctx, block, full](std::int64_t i) { return i < full ? block : ctx.integer(1, block); };
        Renderer(ctx, p, m, run).renderAll();
    }
    reuse.reset();
    if (ctx.strictness() >= 7) {
        // Beyond the contract, but some hosts do it: more frames than announced.
        Plug p(ctx, 44100.0f, 256);
        Material m = materialFor(ctx, p, 8 * 4096 / 44100.0);
        Run run;
        run.where = "process at 44100 Hz, blocks of 4096 where 256 were announced";
        run.checks = kFinite | kGuards;
        run.blockSize = [](std::int64_t) { return 4096; };
        Renderer(ctx, p, m, run).renderAll();
    }
}

void testRateBlockChanges(Context& ctx) {
    const struct {
        float rate;
        std::int32_t block;
    } changes[] = {{48000, 128}, {96000, 1024}, {22050, 64}, {44100, 512}, {192000, 32}, {8000, 2048}, {44100, 256}};
    Plug p(ctx, 44100.0f, 512);
    for (bool suspend : {true, false}) {
        if (!suspend && ctx.strictness() < 6) break;
        for (const auto& c : changes) {
            if (ctx.outOfTime(number(c.rate) + " Hz with blocks of " + std::to_string(c.block))) return;
            if (suspend) p.suspend();
            p.setRate(c.rate);
            p.setBlock(c.block);
            if (suspend) p.resume();
            Material m = materialFor(ctx, p, 4.0 * c.block / c.rate + 0.05);
            Run run;
            run.where = renderWhere(c.rate, c.block) + (suspend ? " after a suspended change" : " after a change while running");
            if (!Renderer(ctx, p, m, run).renderAll()) return;
        }
    }
}

void testZeroFrames(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    Material m = materialFor(ctx, p, 0.1);
    std::vector<Channel> ins(static_cast<std::size_t>(p.ins)), outs(static_cast<std::size_t>(p.outs));
    std::vector<float*> inPtrs(std::max<std::size_t>(ins.size(), 1), nullptr), outPtrs(std::max<std::size_t>(outs.size(), 1), nullptr);
    for (std::size_t c = 0; c < ins.size(); ++c) {
        ins[c].prepare(0);
        inPtrs[c] = ins[c].data();
    }
    for (std::size_t c = 0; c < outs.size(); ++c) {
        outs[c].prepare(0);
        outPtrs[c] = outs[c].data();
    }
    auto checkUntouched = [&](const char* how) {
        for (std::size_t c = 0; c < outs.size(); ++c) {
            long at = 0;
            if (outs[c].guardWritten(at)) {
                ctx.fail(std::string(how) + " of 0 frames: output " + std::to_string(c + 1) + " written (at " +
                         std::to_string(at) + ")");
            }
        }
        for (std::size_t c = 0; c < ins.size(); ++c) {
            long at = 0;
            if (ins[c].guardWritten(at)) {
                ctx.fail(std::string(how) + " of 0 frames: input " + std::to_string(c + 1) + " written");
            }
        }
    };
    for (int round = 0; round < 3 && ctx.failures == 0; ++round) {
        if (p.wantsEvents) {
            ctx.step("sending an empty event list");
            aerie::EventList empty;
            p.dispatch(effProcessEvents, 0, 0, empty.get());
        }
        if (p.replacing) {
            ctx.step("processReplacing of 0 frames");
            p.instance->raw().processReplacing(inPtrs.data(), outPtrs.data(), 0);
            checkUntouched("processReplacing");
        }
        if (p.e->process != nullptr) {
            ctx.step("process of 0 frames");
            p.instance->raw().process(inPtrs.data(), outPtrs.data(), 0);
            checkUntouched("process");
        }
        Run run;
        run.where = renderWhere(44100.0f, 512) + " after render calls of 0 frames";
        run.checks = kFinite | kGuards;
        Material short_ = materialFor(ctx, p, 1024 / 44100.0);
        if (!Renderer(ctx, p, short_, run).renderAll()) return;
    }
}

// The latency and tail a plug-in reports are within reason, and an impulse
// comes out of an effect at the latency it reports.
void testLatencyTail(Context& ctx) {
    constexpr double kMostSeconds = 10.0;
    const float rate = 44100.0f;
    const std::int32_t block = 512;
    Plug p(ctx, rate, block);
    const std::int32_t latency = p.e->initialDelay;
    ctx.step("asking the tail size (effGetTailSize)");
    const VstIntPtr tail = p.dispatch(effGetTailSize);
    const double most = kMostSeconds * rate;
    if (latency < 0 || latency > most) {
        ctx.fail("the record's initialDelay is " + std::to_string(latency) + " frames (" + number(static_cast<double>(latency) / rate) +
                 " s at 44100 Hz); hosts delay every other track by it, and more than " + number(kMostSeconds) +
                 " s is no real latency");
    }
    if (tail < 0 || static_cast<double>(tail) > most) {
        ctx.fail("effGetTailSize answers " + std::to_string(tail) + " frames (" +
                 number(static_cast<double>(tail) / rate) + " s at 44100 Hz); hosts keep rendering that long after the input ends");
    }
    if (ctx.failures > 0) return;
    if (p.instrument || p.ins == 0 || p.outs == 0) {
        ctx.note("latency " + std::to_string(latency) + " frames, tail " + std::to_string(tail) +
                 " frames; no impulse test (" + (p.instrument ? "an instrument" : "no audio path") + ")");
        return;
    }
    // An impulse after a second of silence (long enough for the plug-in to
    // settle), then silence for the latency and a block more.
    const std::int64_t at = static_cast<std::int64_t>(rate);
    Material m;
    m.frames = at + latency + 4 * static_cast<std::int64_t>(block);
    m.activeFrames = m.frames;
    m.input.assign(static_cast<std::size_t>(p.ins), std::vector<float>(static_cast<std::size_t>(m.frames), 0.0f));
    for (auto& ch : m.input) ch[static_cast<std::size_t>(at)] = 1.0f;
    Run run;
    run.where = renderWhere(rate, block) + " with an impulse at frame " + std::to_string(at);
    run.keep = true;
    run.budget = -1;
    Renderer r(ctx, p, m, run);
    if (!r.renderAll()) return;
    const auto& out = r.outputs();
    std::int64_t first = -1;
    float peak = 0.0f;
    for (const auto& ch : out) {
        for (std::size_t i = static_cast<std::size_t>(at); i < ch.size(); ++i) peak = std::max(peak, std::fabs(ch[i]));
    }
    if (peak <= 1e-6f) {
        ctx.note("latency " + std::to_string(latency) + " frames: the impulse gave no output to measure it by");
        return;
    }
    for (const auto& ch : out) {
        for (std::size_t i = 0; i < ch.size(); ++i) {
            if (std::fabs(ch[i]) > 0.01f * peak) {
                const auto f = static_cast<std::int64_t>(i);
                if (first < 0 || f < first) first = f;
                break;
            }
        }
    }
    const std::int64_t delay = first - at;
    if (first >= 0 && delay < 0) {
        ctx.note("the output moves before the impulse arrives (frame " + std::to_string(first) +
                 "): the plug-in makes sound of its own, so its latency is not measured");
    } else if (first >= 0 && delay < latency) {
        ctx.warn("the impulse comes out " + std::to_string(delay) + " frames after it went in, earlier than the " +
                 std::to_string(latency) + " frames of latency the record reports: hosts that compensate will put it " +
                 std::to_string(latency - delay) + " frames too early");
    } else if (first >= 0 && latency > 0 && delay > latency + block) {
        ctx.warn("the impulse comes out " + std::to_string(delay) + " frames after it went in, later than the " +
                 std::to_string(latency) + " frames of latency the record reports");
    } else {
        ctx.note("latency " + std::to_string(latency) + " frames, tail " + std::to_string(tail) +
                 " frames; the impulse came out after " + std::to_string(delay) + " frames");
    }
}

const std::vector<TestDef>& lifecycleTests() {
    // name, what it checks, why, runs from, fails from (0: always), the test
    static const std::vector<TestDef> tests = {
        {"lifecycle.open-close", "open/close cycles within a time budget, with the memory measured",
         "hosts open and close instances all session long; memory that grows with each is a leak", 1, 0, testOpenClose},
        {"lifecycle.suspend-resume", "suspend/resume cycles between rendered blocks",
         "hosts suspend and resume (effMainsChanged) on every transport stop and setting change", 1, 0, testSuspendResume},
        {"lifecycle.rates", "every sample rate of --rates, from 8000 to 384000 Hz and a fractional one",
         "the sample rate is whatever the host's audio device runs at", 1, 0, testRates},
        {"lifecycle.blocks", "every block size of --blocks, shorter blocks than announced, and (7+) longer",
         "hosts render any number of frames up to the announced block size, fewer at loop ends", 1, 0, testBlocks},
        {"lifecycle.rate-block-changes", "rates and block sizes changed with a suspend between, and (6+) without",
         "hosts change rate and block size between suspend and resume when the device changes", 2, 0, testRateBlockChanges},
        {"lifecycle.zero-frames", "render calls of 0 frames and empty event lists write nothing",
         "hosts make render calls of 0 frames (to flush events or parameters)", 1, 0, testZeroFrames},
        {"lifecycle.latency-tail", "initialDelay and the tail size under 10 s of audio; an impulse comes out at the reported latency (a warning)",
         "hosts delay every other track by initialDelay and render the tail after the input ends", 1, 0, testLatencyTail},
    };
    return tests;
}

}  // namespace validate
