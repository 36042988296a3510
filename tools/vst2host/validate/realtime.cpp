// Real-time safety: the audio thread's calls into the plug-in allocate and
// free no memory, take no lock, open, read or write no file and never sleep.
// Any of those can wait on another thread or on the system for longer than a
// block lasts, and the audio drops out.
#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/tests.h"

namespace validate {

namespace {

// The double-precision render entry sits in the record's reserved bytes,
// right after processReplacing, and is valid with this flag.
constexpr std::int32_t kFlagCanDoubleReplacing = 1 << 12;
using DoubleProc = void(VST_CALL*)(AEffect*, double**, double**, std::int32_t);

DoubleProc doubleEntry(const AEffect* e) {
    if (!(e->flags & kFlagCanDoubleReplacing)) return nullptr;
    DoubleProc proc = nullptr;
    static_assert(sizeof proc <= sizeof e->future);
    std::memcpy(&proc, e->future, sizeof proc);
    return proc;
}

}  // namespace

void testRealtimeSafety(Context& ctx) {
    if (!rt::available()) ctx.skip(rt::unavailableWhy());
    const float rate = 44100.0f;
    const std::int32_t block = 256;
    Plug p(ctx, rate, block);
    Material m = materialFor(ctx, p, seconds(ctx, 1.0));
    if (p.wantsEvents) addMidiVariety(m, block, ctx.rng());
    rt::reset();
    Run run;
    run.where = renderWhere(rate, block) + ", the audio thread watched from the second block on";
    run.watch = true;
    run.between = [&](std::int64_t i) {
        // Automation as hosts send it, between the watched calls.
        if (p.e->numParams > 0 && i % 4 == 0) {
            p.instance->raw().setParameter(static_cast<std::int32_t>(i / 4 % p.e->numParams), static_cast<float>(ctx.uniform(0, 1)));
        }
    };
    Renderer r(ctx, p, m, run);
    if (!r.renderAll()) return;
    if (const DoubleProc proc = doubleEntry(p.e); proc != nullptr && !rt::first(ctx.settings.module).found) {
        std::vector<std::vector<double>> in(static_cast<std::size_t>(p.ins), std::vector<double>(block, 0.1));
        std::vector<std::vector<double>> out(static_cast<std::size_t>(p.outs), std::vector<double>(block, 0.0));
        std::vector<double*> inPtrs(std::max<std::size_t>(in.size(), 1), nullptr), outPtrs(std::max<std::size_t>(out.size(), 1), nullptr);
        for (std::size_t c = 0; c < in.size(); ++c) inPtrs[c] = in[c].data();
        for (std::size_t c = 0; c < out.size(); ++c) outPtrs[c] = out[c].data();
        for (int k = 0; k < 8; ++k) {
            ctx.step("processDoubleReplacing, block " + std::to_string(k + 1) + " of 256 frames");
            if (k > 0) rt::arm("processDoubleReplacing");
            proc(p.e, inPtrs.data(), outPtrs.data(), block);
            rt::disarm();
        }
    }
    const rt::Finding f = rt::first(ctx.settings.module);
    if (!f.found) return;
    std::string where = f.from.empty() ? " (the plug-in's own frame is not on the stack)" : ", called from " + f.from;
    if (!f.via.empty() && f.via != f.from) where += " via " + f.via;
    ctx.fail(f.call + " on the audio thread during " + f.during + where +
             ": the audio thread must not allocate, lock, do file I/O or sleep");
}

const std::vector<TestDef>& realtimeTests() {
    // name, what it checks, why, runs from, fails from (0: always), the test
    static const std::vector<TestDef> tests = {
        {"realtime.safety", "the render calls and effProcessEvents allocate, free, lock, do file I/O and sleep not at all (a warning below 7)",
         "the audio thread has a deadline every block; these calls can wait longer. A matter of degree: a warning below 7", 1, 7,
         testRealtimeSafety},
    };
    return tests;
}

}  // namespace validate
