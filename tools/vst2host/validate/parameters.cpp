// Parameters: ranges, texts, and changes while audio renders.
#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/tests.h"

namespace validate {

void testParameterRange(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    if (p.e->numParams == 0) ctx.skip("the plug-in has no parameters");
    const int randoms = ctx.strictness();
    for (std::int32_t i = 0; i < p.e->numParams; ++i) {
        std::vector<float> values = {0.0f, 1.0f};
        for (int k = 0; k < randoms; ++k) values.push_back(static_cast<float>(ctx.uniform(0, 1)));
        for (float v : values) {
            ctx.step("setting parameter " + std::to_string(i + 1) + " to " + number(v));
            p.instance->raw().setParameter(i, v);
            const float got = p.instance->raw().getParameter(i);
            if (!(got >= 0.0f && got <= 1.0f)) {
                ctx.fail(parameterName(p, i) + ": set to " + number(v) + ", reads back " + number(got) +
                         " (values are 0 to 1)");
                break;
            }
        }
    }
}

void testParameterTexts(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    if (p.e->numParams == 0) ctx.skip("the plug-in has no parameters");
    const std::size_t size = textSize(ctx, 8);
    for (std::int32_t i = 0; i < p.e->numParams; ++i) {
        const std::string who = "parameter " + std::to_string(i + 1);
        ctx.step("asking the name of " + who);
        if (!checkText(ctx, guardedText(p, effGetParamName, i, size), who + " name", size)) continue;
        ctx.step("asking the label of " + who);
        if (!checkText(ctx, guardedText(p, effGetParamLabel, i, size), who + " label", size)) continue;
        for (float v : {0.0f, 0.5f, 1.0f, static_cast<float>(ctx.uniform(0, 1))}) {
            p.instance->raw().setParameter(i, v);
            ctx.step("asking the display text of " + who + " at " + number(v));
            if (!checkText(ctx, guardedText(p, effGetParamDisplay, i, size), who + " display text at " + number(v), size)) break;
        }
    }
}

void testAutomation(Context& ctx) {
    Plug p(ctx, 44100.0f, 256);
    if (p.e->numParams == 0) ctx.skip("the plug-in has no parameters");
    Material m = materialFor(ctx, p, seconds(ctx, 1.0));
    Run run;
    run.where = renderWhere(44100.0f, 256) + " with random parameter changes between blocks";
    const std::int32_t n = p.e->numParams;
    const int perBlock = ctx.strictness() >= 8 ? n : std::min(n, 4);
    run.between = [&](std::int64_t) {
        for (int k = 0; k < perBlock; ++k) {
            const std::int32_t i = perBlock == n ? k : ctx.integer(0, n - 1);
            const int pick = ctx.integer(0, 9);
            p.instance->raw().setParameter(i, pick == 0 ? 0.0f : pick == 1 ? 1.0f : static_cast<float>(ctx.uniform(0, 1)));
        }
    };
    Renderer(ctx, p, m, run).renderAll();
}

// Random values at random blocks, in blocks of random length, now and then a
// program change: what automation, a MIDI-learn controller and a preset
// browser do to a plug-in while it plays.
void testParameterFuzz(Context& ctx) {
    const float rate = 44100.0f;
    const std::int32_t block = 512;
    Plug p(ctx, rate, block);
    const std::int32_t n = p.e->numParams;
    if (n == 0) ctx.skip("the plug-in has no parameters");
    Material m = materialFor(ctx, p, seconds(ctx, 2.0));
    Run run;
    run.where = renderWhere(rate, block) + " with random parameter values at random blocks";
    run.blockSize = [&](std::int64_t) { return ctx.integer(0, 3) == 0 ? ctx.integer(1, block) : block; };
    run.between = [&](std::int64_t) {
        if (ctx.integer(0, 2) != 0) return;
        const int changes = ctx.integer(1, std::min(n, 16));
        for (int k = 0; k < changes; ++k) {
            const std::int32_t i = ctx.integer(0, n - 1);
            const int pick = ctx.integer(0, 5);
            const float v = pick == 0 ? 0.0f : pick == 1 ? 1.0f : static_cast<float>(ctx.uniform(0, 1));
            p.instance->raw().setParameter(i, v);
        }
        if (p.e->numPrograms > 1 && ctx.integer(0, 40) == 0) p.dispatch(effSetProgram, 0, ctx.integer(0, p.e->numPrograms - 1));
    };
    Renderer(ctx, p, m, run).renderAll();
}

const std::vector<TestDef>& parameterTests() {
    // name, what it checks, why, runs from, fails from (0: always), the test
    static const std::vector<TestDef> tests = {
        {"parameters.range", "every parameter set to 0, 1 and random values reads back within 0 to 1",
         "parameter values are normalised to 0..1 on both sides of the interface", 1, 0, testParameterRange},
        {"parameters.texts", "parameter names, labels and display texts end inside the host's buffer (8 characters at 9+)",
         "the host owns the text buffers; the interface's limit is 8 characters, which many hosts give room beyond", 1, 0,
         testParameterTexts},
        {"parameters.automation", "random parameter changes between blocks keep the output finite",
         "hosts automate parameters between render calls", 2, 0, testAutomation},
        {"parameters.fuzz", "random values at random blocks, blocks of random length, program changes: the output stays finite",
         "automation, controllers and preset browsers change values at any block", 1, 0, testParameterFuzz},
    };
    return tests;
}

}  // namespace validate
