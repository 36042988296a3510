// Processing: what the render calls write, and what they must leave alone.
#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/tests.h"
#include "tools/vst2host/validate/traps.h"

#include <iterator>

namespace validate {

void testFinite(Context& ctx) {
    std::unique_ptr<Plug> reuse;
    for (const auto& [rate, block] : {std::pair<float, std::int32_t>{44100.0f, 512}, {48000.0f, 64}, {96000.0f, 1000}}) {
        if (ctx.outOfTime(renderWhere(rate, block))) break;
        Plug& p = instanceAt(ctx, reuse, rate, block);
        Material m = materialFor(ctx, p, seconds(ctx, 1.0));
        if (ctx.strictness() >= 6) {
            for (auto& ch : m.input) {
                for (std::size_t i = 0; i < ch.size(); i += 97) ch[i] *= 4.0f;  // peaks beyond full scale
            }
        }
        Run run;
        run.where = renderWhere(rate, block);
        Renderer(ctx, p, m, run).renderAll();
    }
}

void testSubnormals(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    const double silence = std::max(2.0, seconds(ctx, 8.0));
    Material m = materialFor(ctx, p, 0.5 + silence, 0.5 / (0.5 + silence));
    Run run;
    run.where = renderWhere(44100.0f, 512);
    run.checks = kFinite | kSubnormals;
    Renderer(ctx, p, m, run).renderAll();
}

void testGuards(Context& ctx) {
    std::unique_ptr<Plug> reuse;
    for (std::int32_t block : {1, 7, 64, 333, 512}) {
        if (ctx.outOfTime("blocks of " + std::to_string(block) + " with guard samples")) break;
        Plug& p = instanceAt(ctx, reuse, 44100.0f, block);
        Material m = materialFor(ctx, p, std::max(8.0 * block, 2048.0) / 44100.0);
        Run run;
        run.where = renderWhere(44100.0f, block) + " with guard samples";
        run.checks = kFinite | kGuards;
        if (!Renderer(ctx, p, m, run).renderAll()) return;
    }
    // Buffers that end on a page the process may not touch: reading or
    // writing past the end crashes here instead of going unseen.
    for (std::int32_t block : {64, 512, 1000}) {
        if (block != 64 && ctx.outOfTime("blocks of " + std::to_string(block) + " ending at a guard page")) break;
        Plug& p = instanceAt(ctx, reuse, 44100.0f, block);
        Material m = materialFor(ctx, p, 8.0 * block / 44100.0);
        std::vector<std::unique_ptr<PageChannel>> ins, outs;
        std::vector<float*> inPtrs(static_cast<std::size_t>(std::max(p.ins, 1)), nullptr);
        std::vector<float*> outPtrs(static_cast<std::size_t>(std::max(p.outs, 1)), nullptr);
        for (std::int32_t c = 0; c < p.ins; ++c) {
            ins.push_back(std::make_unique<PageChannel>(static_cast<std::size_t>(block)));
            inPtrs[static_cast<std::size_t>(c)] = ins.back()->data();
        }
        for (std::int32_t c = 0; c < p.outs; ++c) {
            outs.push_back(std::make_unique<PageChannel>(static_cast<std::size_t>(block)));
            outPtrs[static_cast<std::size_t>(c)] = outs.back()->data();
        }
        for (std::int64_t pos = 0; pos + block <= m.frames; pos += block) {
            for (std::size_t c = 0; c < ins.size(); ++c) {
                std::memcpy(ins[c]->data(), m.input[c].data() + pos, static_cast<std::size_t>(block) * sizeof(float));
            }
            for (auto& o : outs) std::fill(o->data(), o->data() + block, 0.0f);
            ctx.step(renderWhere(44100.0f, block) + " into buffers that end at an inaccessible page (from frame " +
                     std::to_string(pos) + "): a crash here is a read or write outside the frames asked for");
            if (p.replacing) {
                p.instance->raw().processReplacing(inPtrs.data(), outPtrs.data(), block);
            } else {
                p.instance->raw().process(inPtrs.data(), outPtrs.data(), block);
            }
        }
    }
}

void testInputsUntouched(Context& ctx) {
    std::unique_ptr<Plug> reuse;
    for (std::int32_t block : {64, 512}) {
        Plug& p = instanceAt(ctx, reuse, 44100.0f, block);
        if (p.ins == 0) ctx.skip("the plug-in has no inputs");
        Material m = materialFor(ctx, p, seconds(ctx, 0.5));
        Run run;
        run.where = renderWhere(44100.0f, block) + ", out of place";
        run.checks = kFinite | kInputs;
        if (!Renderer(ctx, p, m, run).renderAll()) return;
    }
}

// Renders through a fresh instance in the given mode and compares with the
// out-of-place render of another fresh instance.
namespace {

void compareModes(Context& ctx, const Material& m, Mode mode, const char* what) {
    const float rate = 44100.0f;
    const std::int32_t block = 512;
    std::vector<std::vector<float>> reference;
    if (!deterministic(ctx, m, rate, block, &reference)) {
        ctx.skip("two fresh instances given the same input differ, so " + std::string(what) + " cannot be compared");
    }
    Plug p(ctx, rate, block);
    Run run;
    run.where = renderWhere(rate, block, mode == Mode::InPlace ? "process in place" : "process (accumulating)");
    run.mode = mode;
    run.keep = true;
    run.budget = -1;
    Renderer r(ctx, p, m, run);
    if (!r.renderAll()) return;
    std::vector<std::vector<float>> got = r.outputs();
    if (mode == Mode::Accumulate) {
        for (std::size_t c = 0; c < got.size(); ++c) {
            for (std::size_t i = 0; i < got[c].size(); ++i) {
                got[c][i] -= bed(static_cast<std::int32_t>(c), static_cast<std::int64_t>(i));
            }
        }
    }
    const double tolerance = mode == Mode::InPlace && ctx.strictness() >= 8 ? 0.0 : 1e-5;
    const std::string diff = difference(got, reference, tolerance);
    if (diff.empty()) return;
    if (mode == Mode::Accumulate && difference(r.outputs(), reference, tolerance).empty()) {
        ctx.fail(std::string(what) + " overwrites the outputs instead of adding to them");
    } else {
        ctx.fail(std::string(what) + " differs from processReplacing out of place: " + diff);
    }
}

}  // namespace

void testInPlace(Context& ctx) {
    Material m;
    {
        Plug probe(ctx, 44100.0f, 512, false);
        if (probe.ins == 0 || probe.outs == 0) ctx.skip("in-place processing needs inputs and outputs");
        m = materialFor(ctx, probe, seconds(ctx, 0.5));
    }
    compareModes(ctx, m, Mode::InPlace, "processing in place");
}

// The accumulating entry was the first render call of the interface; from
// version 2.4 on it is deprecated and hosts no longer call it, so a plug-in
// that declares 2400 or more may leave it empty. Only older plug-ins fail.
void testAccumulate(Context& ctx) {
    std::int32_t version = 0;
    Material m;
    {
        Plug probe(ctx, 44100.0f, 512, false);
        if (!probe.replacing || probe.e->process == nullptr) ctx.skip("the plug-in offers only one render entry");
        version = declaredVersion(probe);
        m = materialFor(ctx, probe, seconds(ctx, 0.5));
    }
    if (version < 2400) {
        compareModes(ctx, m, Mode::Accumulate, "the accumulating entry (process)");
        return;
    }
    if (ctx.strictness() < 8) {
        ctx.skip("the plug-in declares interface version " + std::to_string(version) +
                 "; hosts do not call the accumulating entry from 2.4 on (compared as a note from strictness 8)");
    }
    // Compared for the record only: what comes back are notes.
    struct Notes : Reporter {
        explicit Notes(Context& c) : ctx(c) {}
        void step(const std::string& what) override { ctx.reporter.step(what); }
        void fail(const std::string& what) override {
            ctx.reporter.note(what + " (not a fault: hosts do not call it from interface version 2.4 on)");
        }
        void warn(const std::string& what) override { ctx.reporter.note(what); }
        void note(const std::string& what) override { ctx.reporter.note(what); }
        void skip(const std::string& why) override { ctx.reporter.note(why); }
        void plugin(const std::string&) override {}
        Context& ctx;
    } notes(ctx);
    Context quiet(ctx.settings, notes, ctx.rng());
    try {
        compareModes(quiet, m, Mode::Accumulate, "the accumulating entry (process)");
    } catch (const Skipped& s) {
        ctx.note(s.why);
    } catch (const Stop&) {
    }
}

void testNotes(Context& ctx) {
    Plug p(ctx, 44100.0f, 256);
    if (!p.instrument) ctx.skip("not an instrument");
    Material m = materialFor(ctx, p, seconds(ctx, 1.0));
    Run run;
    run.where = renderWhere(44100.0f, 256) + " with notes";
    run.keep = true;
    Renderer r(ctx, p, m, run);
    if (!r.renderAll()) return;
    if (silent(r.outputs())) ctx.failFrom(8, "the instrument stays silent through " + std::to_string(m.events.size()) + " note events");
}

// Everything a sequencer sends, not only notes, on every channel.
void testMidiVariety(Context& ctx) {
    Plug p(ctx, 44100.0f, 256);
    if (!p.wantsEvents) ctx.skip("the plug-in takes no MIDI (not an instrument, no receiveVstEvents)");
    Material m = materialFor(ctx, p, seconds(ctx, 1.0));
    addMidiVariety(m, p.block(), ctx.rng());
    Run run;
    run.where = renderWhere(44100.0f, 256) + " with every kind of MIDI event";
    Renderer(ctx, p, m, run).renderAll();
}

// The transport as hosts play it: playing, stopped, a tempo change, a loop.
void testTimeInfo(Context& ctx) {
    const float rate = 44100.0f;
    const std::int32_t block = 256;
    Plug p(ctx, rate, block);
    Material m = materialFor(ctx, p, seconds(ctx, 1.0));
    struct Scene {
        const char* what;
        Transport transport;
    };
    Transport stopped;
    stopped.playing = false;
    Transport faster;
    faster.tempo = 174.5;
    faster.numerator = 7;
    faster.denominator = 8;
    Transport loop;
    loop.tempo = 90.0;
    loop.looping = true;
    loop.loopStart = 4.0;
    loop.loopEnd = 4.5;  // a short loop, so that it wraps within the render
    Transport slow;
    slow.tempo = 20.0;
    const Scene scenes[] = {{"playing at 120 bpm", Transport{}}, {"stopped", stopped},
                            {"playing at 174.5 bpm in 7/8", faster}, {"looping half a beat at 90 bpm", loop},
                            {"playing at 20 bpm", slow}};
    const std::int64_t blocks = std::max<std::int64_t>(m.frames / block, 1);
    const std::int64_t perScene = std::max<std::int64_t>(blocks / static_cast<std::int64_t>(std::size(scenes)), 1);
    Run run;
    run.where = renderWhere(rate, block) + " with the transport changing";
    run.between = [&](std::int64_t i) {
        const auto k = static_cast<std::size_t>(std::min<std::int64_t>(i / perScene, std::size(scenes) - 1));
        if (i % perScene == 0) {
            ctx.step(std::string("the transport: ") + scenes[k].what);
            p.host.setTransport(scenes[k].transport);
        }
    };
    Renderer r(ctx, p, m, run);
    if (!r.renderAll()) return;
    ctx.note("asked for the time " + std::to_string(p.host.timeRequests()) + " times");
}

void testDeterministic(Context& ctx) {
    const float rate = 44100.0f;
    const std::int32_t block = 512;
    const Material m = halfSecondOfMaterial(ctx, rate, block);
    auto a = freshRender(ctx, m, rate, block, renderWhere(rate, block) + " (first instance)");
    auto b = freshRender(ctx, m, rate, block, renderWhere(rate, block) + " (second instance)");
    const std::string diff = difference(a, b);
    if (!diff.empty()) ctx.failFrom(8, "two fresh instances given the same input differ: " + diff);
}

void testFloatingPointTraps(Context& ctx) {
    // Invalid operations, division by zero and overflow trap, as many
    // Windows hosts set their audio threads: any of them ends the child, and
    // the step says where. The module is loaded before, as hosts load it on
    // a thread of their own.
    ctx.module();
    const UnmaskedFloatingPointExceptions traps;
    const float values[] = {0.0f, 1.0f, 0.5f, 1e-7f, 0.99999994f};
    std::unique_ptr<Plug> reuse;
    std::size_t n = 0;
    for (const auto& [rate, block] : {std::pair<float, std::int32_t>{44100.0f, 512}, {48000.0f, 64}, {96000.0f, 1000}, {8000.0f, 7}}) {
        if (ctx.outOfTime(renderWhere(rate, block))) break;
        Plug& p = instanceAt(ctx, reuse, rate, block);
        const float value = values[n++ % std::size(values)];
        ctx.step("setting every parameter to " + number(value));
        for (std::int32_t i = 0; i < p.e->numParams; ++i) p.instance->raw().setParameter(i, value);
        for (std::int32_t i = 0; i < p.e->numParams; ++i) {
            ctx.step("asking the display text of " + parameterName(p, i));
            (void)guardedText(p, effGetParamDisplay, i, 256);
        }
        Material m = materialFor(ctx, p, seconds(ctx, 0.5));
        Run run;
        run.where = renderWhere(rate, block) + " with floating-point traps unmasked, parameters at " + number(value);
        Renderer(ctx, p, m, run).renderAll();
    }
}

const std::vector<TestDef>& processingTests() {
    // name, what it checks, why, runs from, fails from (0: always), the test
    static const std::vector<TestDef> tests = {
        {"processing.finite", "outputs hold no NaN, no infinity and no unwritten frame",
         "processReplacing overwrites every frame of every output; NaN and infinity break every host's mix", 1, 0, testFinite},
        {"processing.subnormals", "no subnormal output once the input or the last note has died away",
         "subnormal numbers cost a hundred times the CPU on x86 and reach the next plug-in in the chain", 3, 0, testSubnormals},
        {"processing.guards", "nothing written before or past the frames asked for (guard samples, guard pages)",
         "the buffers are the host's, exactly as long as the frames asked for", 1, 0, testGuards},
        {"processing.inputs-untouched", "inputs are left untouched by out-of-place processing",
         "the input buffers are the host's, and hosts pass one buffer to several plug-ins", 1, 0, testInputsUntouched},
        {"processing.in-place", "in-place processing gives what out-of-place processing gives",
         "hosts may pass the same buffer as input and output", 2, 0, testInPlace},
        {"processing.accumulate", "the accumulating and replacing entries agree (version below 2400; from 2400 a note at 8+)",
         "process adds to the outputs; deprecated from interface version 2.4, when hosts stop calling it", 2, 0, testAccumulate},
        {"processing.notes", "instruments play notes: pairs, lone note-offs, repeats, overlaps, block edges, velocity 0",
         "an instrument receives MIDI through effProcessEvents, timed within the block", 1, 0, testNotes},
        {"processing.midi-variety", "every kind of MIDI: all channels, pitch bend, controllers, program change, system exclusive, all notes off",
         "hosts pass the MIDI of a track as it is, and event lists may hold system-exclusive records", 1, 0, testMidiVariety},
        {"processing.time-info", "the transport playing, stopped, changing tempo and metre, looping",
         "plug-ins may ask audioMasterGetTime during processing; hosts answer with the transport as it is", 1, 0, testTimeInfo},
        {"processing.deterministic", "two fresh instances give the same output bit for bit (a warning below 8)",
         "not a promise of the interface: offline renders and tests want it", 3, 0, testDeterministic},
        {"processing.fp-traps", "renders, parameter changes and display texts raise no floating-point exception with traps unmasked",
         "some Windows hosts unmask invalid-operation, division-by-zero and overflow traps on their audio thread; "
         "many plug-ins in use raise them, so a warning",
         6, kNeverFails, testFloatingPointTraps},
    };
    return tests;
}

}  // namespace validate
