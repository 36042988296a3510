// Programs and state: switching, chunks, and state that restores the sound.
#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/tests.h"

namespace validate {

void testPrograms(Context& ctx) {
    Plug p(ctx, 44100.0f, 256);
    const std::int32_t n = p.e->numPrograms;
    if (n == 0) ctx.skip("the plug-in has no programs");
    const std::size_t size = textSize(ctx, 24);
    const std::int32_t most = std::min(n, 32 * ctx.strictness());
    Material m = materialFor(ctx, p, 256.0 * (most + 1) / 44100.0);
    Run run;
    run.where = renderWhere(44100.0f, 256) + " after a program change";
    Renderer r(ctx, p, m, run);
    for (std::int32_t i = 0; i < most; ++i) {
        const std::int32_t program = ctx.strictness() >= 6 && i % 2 == 1 ? ctx.integer(0, n - 1) : i;
        ctx.step("selecting program " + std::to_string(program + 1) + " (effSetProgram)");
        p.dispatch(effSetProgram, 0, program);
        const auto current = p.dispatch(effGetProgram);
        if (current != program) {
            ctx.fail("selected program " + std::to_string(program + 1) + " (index " + std::to_string(program) +
                     "), effGetProgram answers index " + std::to_string(current));
        }
        ctx.step("asking the name of program " + std::to_string(program + 1));
        checkText(ctx, guardedText(p, effGetProgramName, 0, size), "program " + std::to_string(program + 1) + " name", size);
        ctx.step("asking the name of program " + std::to_string(program + 1) + " by index");
        checkText(ctx, guardedText(p, effGetProgramNameIndexed, program, size, -1),
                  "program " + std::to_string(program + 1) + " name by index", size);
        if (!r.next()) return;
    }
}

void testChunks(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    if (!(p.e->flags & effFlagsProgramChunks)) ctx.skip("the plug-in keeps no chunks (flag programChunks)");
    for (std::int32_t i = 0; i < std::min(p.e->numParams, 256); ++i) p.instance->raw().setParameter(i, static_cast<float>(ctx.uniform(0, 1)));
    for (bool preset : {false, true}) {
        const char* kind = preset ? "program chunk" : "bank chunk";
        const Chunk first = getChunk(ctx, p, preset);
        if (!first.given) {
            ctx.warn(std::string("effGetChunk gives no ") + kind + " although the plug-in announces chunks");
            continue;
        }
        setChunk(ctx, p, preset, first.bytes, "its own");
        const Chunk again = getChunk(ctx, p, preset);
        const std::string diff = firstDifference(first.bytes, again.bytes);
        if (!diff.empty()) ctx.fail(std::string("get, set, get of the ") + kind + " gives different bytes: " + diff);
        Plug other(ctx, 44100.0f, 512);
        setChunk(ctx, other, preset, first.bytes, "another instance's");
        const Chunk copied = getChunk(ctx, other, preset);
        const std::string otherDiff = firstDifference(first.bytes, copied.bytes);
        if (!otherDiff.empty()) {
            ctx.failFrom(6, std::string("a ") + kind + " set into a fresh instance comes back different: " + otherDiff);
        }
    }
}

void testBadChunks(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    if (!(p.e->flags & effFlagsProgramChunks)) ctx.skip("the plug-in keeps no chunks (flag programChunks)");
    const Chunk good = getChunk(ctx, p, false);
    std::vector<std::pair<std::string, std::vector<unsigned char>>> cases;
    cases.emplace_back("an empty chunk", std::vector<unsigned char>{});
    for (std::size_t size : {1u, 4u, 16u, 1000u, 100000u}) {
        std::vector<unsigned char> garbage(size);
        for (auto& b : garbage) b = static_cast<unsigned char>(ctx.rng());
        cases.emplace_back(std::to_string(size) + " random bytes", garbage);
    }
    cases.emplace_back("4096 bytes of 0xFF", std::vector<unsigned char>(4096, 0xFF));
    cases.emplace_back("4096 zero bytes", std::vector<unsigned char>(4096, 0));
    if (good.bytes.size() > 1) {
        cases.emplace_back("its own chunk cut in half",
                           std::vector<unsigned char>(good.bytes.begin(), good.bytes.begin() + static_cast<std::ptrdiff_t>(good.bytes.size() / 2)));
    }
    Material m = materialFor(ctx, p, 512.0 * 2 * static_cast<double>(cases.size() + 1) / 44100.0);
    Run run;
    run.where = renderWhere(44100.0f, 512) + " after a bad chunk";
    Renderer r(ctx, p, m, run);
    for (const auto& [what, bytes] : cases) {
        for (bool preset : {false, true}) setChunk(ctx, p, preset, bytes, what);
        if (!r.next()) return;
        getChunk(ctx, p, false);
    }
}

namespace {

// Renders a material through an instance from its first block, all of it.
std::vector<std::vector<float>> renderFrom(Context& ctx, Plug& p, const Material& m, const std::string& where) {
    Run run;
    run.where = where;
    run.keep = true;
    run.budget = -1;
    Renderer r(ctx, p, m, run);
    if (!r.renderAll()) throw Stop{};
    return r.outputs();
}

}  // namespace

// Compares the sound of a restored instance with the sound of the instance
// whose state was saved: bit for bit where two restored instances agree bit
// for bit, else by level. Shared with the test that restores while audio
// renders (threads.cpp).
void compareRestored(Context& ctx, const std::vector<std::vector<float>>& original,
                     const std::vector<std::vector<float>>& restored, const std::vector<std::vector<float>>* again,
                     const SavedState& state, const std::string& how) {
    constexpr double kCloseDb = -20.0;  // a difference this far below the signal may be smoothing
    // Plug-ins that differ between instances: the levels within 3 dB beyond
    // how far two restored instances are apart.
    constexpr double kLevelDb = 3.0;
    const bool deterministic = again == nullptr || difference(restored, *again).empty();
    if (deterministic) {
        const std::string diff = difference(original, restored);
        if (diff.empty()) return;
        const double level = differenceLevel(original, restored);
        if (level > kCloseDb) {
            ctx.fail(how + " (" + state.describe() + ") renders differently from the instance it was saved from: " +
                     diff + ", the difference " + number(level) + " dB against the signal");
        } else {
            ctx.failFrom(8, how + " (" + state.describe() + ") renders close to the instance it was saved from but not bit for bit: " +
                                diff + ", the difference " + number(level) + " dB against the signal");
        }
        return;
    }
    const double mismatch = levelMismatch(original, restored);
    const double natural = levelMismatch(restored, *again);
    if (mismatch > kLevelDb + natural) {
        ctx.fail(how + " (" + state.describe() + "): two restored instances differ (their levels " + number(natural) +
                 " dB apart), so the levels are compared, and the restored one is " + number(mismatch) +
                 " dB from the original (more than " + number(kLevelDb + natural) + " dB)");
    }
}

// A state saved from one instance and restored into a fresh one gives the
// same sound, as a session saved and opened again must.
void testStateRestore(Context& ctx) {
    const float rate = 44100.0f;
    const std::int32_t block = 512;
    Plug a(ctx, rate, block, false);
    if (a.e->numParams == 0 && a.e->numPrograms <= 1 && !(a.e->flags & effFlagsProgramChunks)) {
        ctx.skip("the plug-in has no parameters, programs or chunks: no state to save");
    }
    const Material m = materialFor(ctx, a, seconds(ctx, 0.5));
    randomiseState(ctx, a);
    const SavedState state = saveState(ctx, a);
    Plug b(ctx, rate, block, false);
    restoreState(ctx, b, state);
    a.resume();
    b.resume();
    const auto original = renderFrom(ctx, a, m, renderWhere(rate, block) + " (the instance the state was saved from)");
    const auto restored = renderFrom(ctx, b, m, renderWhere(rate, block) + " (the instance it was restored into)");
    if (difference(original, restored).empty()) return;
    Plug c(ctx, rate, block, false);
    restoreState(ctx, c, state);
    c.resume();
    const auto again = renderFrom(ctx, c, m, renderWhere(rate, block) + " (a second instance restored)");
    compareRestored(ctx, original, restored, &again, state, "the state restored into a fresh instance");
}

const std::vector<TestDef>& stateTests() {
    // name, what it checks, why, runs from, fails from (0: always), the test
    static const std::vector<TestDef> tests = {
        {"programs.switching", "program switching, effGetProgram and program names",
         "hosts select programs by index and show their names", 1, 0, testPrograms},
        {"state.chunks", "get, set and get again of bank and program chunks give the same bytes",
         "a plug-in with programChunks saves its state as chunks; hosts store them in sessions", 1, 0, testChunks},
        {"state.bad-chunks", "empty, garbage and truncated chunks are survived",
         "sessions get damaged and come from other versions of a plug-in", 2, 0, testBadChunks},
        {"state.restore", "random parameters and a program, saved and restored into a fresh instance, give the same sound",
         "hosts save a session's state (chunk or parameters) and restore it into new instances", 1, 0, testStateRestore},
    };
    return tests;
}

}  // namespace validate
