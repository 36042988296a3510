// Requests as the strictest hosts and validators make them: every request
// with null pointers and odd arguments, every request into a host buffer
// that must not be written past the largest record a host hands over, and
// requests in orders hosts are not meant to use but some do.
#include <algorithm>
#include <cmath>
#include <limits>

#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/odd_requests.h"
#include "tools/vst2host/validate/tests.h"

namespace validate {

namespace {

constexpr float kQuiet = 0.25f;  // what the inputs hold

// One render call through guarded buffers for every pin. Only the outputs'
// `frames` samples may change (none for 0 frames and below), the inputs not
// at all, and what is written must be finite. False after a failure.
bool renderChecked(Context& ctx, Plug& p, std::int32_t frames, bool accumulate, const std::string& what) {
    const std::size_t n = frames > 0 ? static_cast<std::size_t>(frames) : 0;
    std::vector<Channel> ins(static_cast<std::size_t>(p.ins)), outs(static_cast<std::size_t>(p.outs));
    std::vector<float*> inPtrs(std::max<std::size_t>(ins.size(), 1), nullptr);
    std::vector<float*> outPtrs(std::max<std::size_t>(outs.size(), 1), nullptr);
    for (std::size_t c = 0; c < ins.size(); ++c) {
        ins[c].prepare(n);
        std::fill(ins[c].data(), ins[c].data() + n, kQuiet);
        inPtrs[c] = ins[c].data();
    }
    const bool add = accumulate || !p.replacing;
    for (std::size_t c = 0; c < outs.size(); ++c) {
        outs[c].prepare(n);
        if (add) std::fill(outs[c].data(), outs[c].data() + n, 0.0f);
        outPtrs[c] = outs[c].data();
    }
    ctx.step(what);
    if (add) {
        p.instance->raw().process(inPtrs.data(), outPtrs.data(), frames);
    } else {
        p.instance->raw().processReplacing(inPtrs.data(), outPtrs.data(), frames);
    }
    const std::string span = std::to_string(frames) + (frames == 1 ? " frame" : " frames");
    for (std::size_t c = 0; c < outs.size(); ++c) {
        long at = 0;
        if (outs[c].guardWritten(at)) {
            std::ostringstream m;
            m << what << ": output " << c + 1 << " written outside the " << span << " asked for (at " << at << ")";
            ctx.fail(m.str());
            return false;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const float v = outs[c].data()[i];
            if (bitsOf(v) != kPattern && !std::isfinite(v)) {
                ctx.fail(what + ": output " + std::to_string(c + 1) + ", frame " + std::to_string(i) + " is " + number(v));
                return false;
            }
        }
    }
    for (std::size_t c = 0; c < ins.size(); ++c) {
        long at = 0;
        const bool changed = ins[c].guardWritten(at) ||
                             std::any_of(ins[c].data(), ins[c].data() + n, [](float v) { return bitsOf(v) != bitsOf(kQuiet); });
        if (changed) {
            ctx.fail(what + ": input " + std::to_string(c + 1) + " was written (inputs are the host's)");
            return false;
        }
    }
    return true;
}

// A few ordinary blocks through both entries, after a session set up again
// as hosts set one up: what came before must have left the instance usable.
void renderSome(Context& ctx, Plug& p, const std::string& after) {
    p.dispatch(effMainsChanged, 0, 0);
    p.dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
    p.dispatch(effSetBlockSize, 0, 512);
    p.dispatch(effMainsChanged, 0, 1);
    for (const bool accumulate : {false, true, false}) {
        if (!renderChecked(ctx, p, 512, accumulate, "rendering 512 frames after " + after)) throw Stop{};
    }
}

// The editor's requests, for a plug-in with an editor: they may need a
// display, and with a null or made-up parent window it may rightly open a
// window of its own. The editor test makes them as hosts do.
bool editorRequest(const Plug& p, std::int32_t opcode) {
    return opcode >= effEditGetRect && opcode <= effEditSleep && (p.e->flags & effFlagsHasEditor) != 0;
}

// Requests whose pointer is the host's to give (a buffer, a record, the
// data to read): a plug-in may rightly take it as given.
bool needsPointer(std::int32_t opcode) {
    switch (opcode) {
    case effSetProgramName:
    case effGetProgramName:
    case effGetParamLabel:
    case effGetParamDisplay:
    case effGetParamName:
    case effEditGetRect:
    case effEditOpen:
    case effGetChunk:
    case effSetChunk:
    case effProcessEvents:
    case effString2Parameter:
    case effGetProgramNameIndexed:
    case effGetInputProperties:
    case effGetOutputProperties:
    case effOfflineNotify:
    case effOfflinePrepare:
    case effOfflineRun:
    case effProcessVarIo:
    case effSetSpeakerArrangement:
    case effGetEffectName:
    case effGetErrorText:
    case effGetVendorString:
    case effGetProductString:
    case effVendorSpecific:
    case effCanDo:
    case effGetParameterProperties:
    case effGetMidiProgramName:
    case effGetCurrentMidiProgram:
    case effGetMidiProgramCategory:
    case effGetMidiKeyName:
    case effGetSpeakerArrangement:
    case effShellGetNextPlugin:
    case effBeginLoadBank:
    case effBeginLoadProgram: return true;
    default: return false;
    }
}

std::string argumentsText(const OddArguments& a) {
    return "index " + std::to_string(a.index) + ", value " + std::to_string(a.value) + ", opt " + number(a.opt);
}

void testNullPointers(Context& ctx) {
    // The ordinary argument sets: with the odd ones (a NaN sample rate, a
    // block size of -1) plug-ins hosts use every day fail their own
    // assertions, so those are for this project's own suites only.
    Plug p(ctx, 44100.0f, 512);
    everyOpcodeWithNullPointers(
        [&](std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr, float opt) {
            ctx.step("sending request " + std::to_string(opcode) + " with a null pointer (index " + std::to_string(index) +
                     ", value " + std::to_string(value) + ", opt " + number(opt) + ")");
            p.dispatch(opcode, index, value, ptr, opt);
        },
        [&](std::int32_t opcode) { return editorRequest(p, opcode) || needsPointer(opcode); },
        [&](const OddArguments& a) { renderSome(ctx, p, "every request with a null pointer and " + argumentsText(a)); },
        [](const OddArguments& a) { return a.index == 0 || a.index == 1; });
}

void testBufferBounds(Context& ctx) {
    // A 1 KiB buffer of 0xA5 bytes, NUL-terminated for requests that read a
    // text: no request may write past the largest record a host hands
    // over (a pin record, 128 bytes; a parameter's properties, 152), and
    // requests the plug-in does not know must write nothing at all.
    constexpr std::size_t kSize = 1024, kMostWritten = 152;
    Plug p(ctx, 44100.0f, 512);
    std::vector<unsigned char> buffer(kSize);
    for (std::int32_t opcode = kFirstOddOpcode; opcode <= kLastOddOpcode; ++opcode) {
        // Requests whose argument holds addresses the host owns get an
        // empty (zeroed) record; effClose ends the instance.
        const bool zeroed = opcode == effProcessEvents || opcode == effSetSpeakerArrangement ||
                            (opcode >= effOfflineNotify && opcode <= effProcessVarIo);
        if (opcode == effClose || editorRequest(p, opcode)) continue;
        for (const std::int32_t index : {0, -1, 1}) {
            std::fill(buffer.begin(), buffer.end(), zeroed ? 0 : 0xA5);
            buffer.back() = 0;
            const VstIntPtr value = opcode == effSetSpeakerArrangement ? reinterpret_cast<VstIntPtr>(buffer.data()) : 0;
            ctx.step("sending request " + std::to_string(opcode) + ", index " + std::to_string(index) +
                     ", with a 1024-byte buffer");
            p.dispatch(opcode, index, value, buffer.data(), 0.0f);
            const std::size_t from = kMostWritten;
            for (std::size_t i = from; i + 1 < kSize; ++i) {
                if (buffer[i] != (zeroed ? 0 : 0xA5)) {
                    ctx.fail("request " + std::to_string(opcode) + ", index " + std::to_string(index) + " wrote byte " +
                             std::to_string(i) + " of the host's buffer; no record a host hands over is longer than " +
                             std::to_string(kMostWritten) + " bytes");
                    break;
                }
            }
        }
    }
    renderSome(ctx, p, "every request with a host buffer");
}

void testOddOrders(Context& ctx) {
    constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();
    const struct Case {
        const char* what;
        void (*run)(Context&, Plug&);
    } cases[] = {
        {"rendering before the first resume",
         [](Context& c, Plug& p) {
             renderChecked(c, p, 300, false, "rendering 300 frames before the first resume");
             renderChecked(c, p, 300, true, "rendering 300 frames through process before the first resume");
         }},
        {"open, suspend and resume repeated in any order",
         [](Context& c, Plug& p) {
             c.step("sending effOpen and effMainsChanged 0 and 1 in odd orders");
             for (int n = 0; n < 100; ++n) p.dispatch(n % 3 == 0 ? effOpen : effMainsChanged, 0, n % 2);
             p.dispatch(effMainsChanged, 0, 1);
             renderChecked(c, p, 300, false, "rendering 300 frames after odd suspends and resumes");
         }},
        {"rendering while suspended",
         [](Context& c, Plug& p) {
             p.dispatch(effMainsChanged, 0, 1);
             p.dispatch(effMainsChanged, 0, 0);
             renderChecked(c, p, 300, false, "rendering 300 frames while suspended");
         }},
        {"frame counts of zero and below",
         [](Context& c, Plug& p) {
             p.dispatch(effMainsChanged, 0, 1);
             for (const std::int32_t frames : {0, -1, -512, kMin32}) {
                 for (const bool accumulate : {false, true}) {
                     renderChecked(c, p, frames, accumulate,
                                   "rendering " + std::to_string(frames) + " frames" + (accumulate ? " through process" : ""));
                 }
             }
         }},
        {"announced block sizes that make no sense",
         [](Context& c, Plug& p) {
             for (const std::int32_t announced : {1, 0, -1, kMin32, kMax32, 512}) {
                 p.dispatch(effMainsChanged, 0, 0);
                 p.dispatch(effSetBlockSize, 0, announced);
                 p.dispatch(effMainsChanged, 0, 1);
                 for (const std::int32_t frames : {1, 3, 512, 1}) {
                     renderChecked(c, p, frames, false,
                                   "rendering " + std::to_string(frames) + " frames after a block size of " +
                                       std::to_string(announced) + " was announced");
                 }
             }
         }},
    };
    for (const Case& k : cases) {
        Plug p(ctx, 44100.0f, 512, false);
        const int before = ctx.failures;
        k.run(ctx, p);
        if (ctx.failures == before) renderSome(ctx, p, k.what);
    }
}

}  // namespace

const std::vector<TestDef>& requestTests() {
    // name, what it checks, why, runs from, fails from (0: always), the test
    static const std::vector<TestDef> tests = {
        {"requests.null-pointers", "every request from -1000 to 1000 that takes no pointer, with a null one (index and value 0, then 1)",
         "hosts and validators send requests a plug-in does not know, and null where no buffer is meant", 6, 0,
         testNullPointers},
        {"requests.buffer-bounds", "no request writes past 152 bytes of a host buffer",
         "the largest record a host hands over is a parameter's properties (152 bytes), a pin record is 128", 6, 0,
         testBufferBounds},
        {"requests.odd-orders", "renders before the first resume, while suspended, of 0 frames and below, after absurd block sizes",
         "hosts render before resuming, after suspending and with odd counts; none of it may crash or corrupt", 6, 0,
         testOddOrders},
    };
    return tests;
}

}  // namespace validate
