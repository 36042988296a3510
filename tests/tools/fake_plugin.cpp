// Small plug-in modules for testing the command-line host: well-behaved ones
// whose output shows exactly where each note-on arrived, and broken ones for
// every failure the host must report. FAKE_KIND selects the variant.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "host/abi/aeffect.h"
#include "host/abi/events.h"
#include "host/abi/opcodes.h"
#include "host/abi/pins.h"
#include "host/abi/time_info.h"

#define FAKE_IMPULSE 1       // 1 output; writes velocity/127 at each note-on's frame
#define FAKE_STEREO 2        // 1 input, 2 outputs, accumulating only, programs, parameters
#define FAKE_NULL 3          // the entry answers null
#define FAKE_BAD_MAGIC 4     // the record lacks the magic number
#define FAKE_CRASH_ENTRY 5   // crashes inside the entry
#define FAKE_CRASH_NAME 6    // crashes when asked for its name
#define FAKE_CRASH_RENDER 7  // crashes in its second rendered block
#define FAKE_HANG_OPEN 8     // never returns from effOpen
#define FAKE_EXIT_ENTRY 9    // ends the process inside the entry
#define FAKE_NO_ENTRY 10     // exports no entry point
#define FAKE_EFFECT 11       // 2 inputs, 2 outputs: output k = input k times 2 x "Gain"; programs, chunks
#define FAKE_WIDE 12         // the same with 3 inputs and 3 outputs, no programs
#define FAKE_HANG_RENDER 13  // never returns from its third rendered block
#define FAKE_TIME 14         // 6 outputs: what the host's time says at each block (ppq, bar, tempo, clock, level, flags)
#define FAKE_LATENCY 15      // 1 in, 1 out: the input 100 frames late; reports 100, then 200 from block 50 on
#define FAKE_MIDI_OUT 16     // 1 out: "Gain" as a level plus impulses; echoes note-ons an octave up, reports automation
#define FAKE_PINS 17         // 1 out: fills all 128 bytes of every pin record

#define FAKE_IS_EFFECT (FAKE_KIND == FAKE_EFFECT || FAKE_KIND == FAKE_WIDE || FAKE_KIND == FAKE_HANG_RENDER)

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct Fake {
    AEffect record{};
    audioMasterCallback host = nullptr;
    float sampleRate = 0.0f;
    bool resumed = false;
    int blocks = 0;
    int program = 0;
    float params[4] = {0.5f, 0.25f, 0.0f, 0.0f};
    std::uint64_t framesDone = 0;
    unsigned char chunk[20] = {};
    // Note-ons of the next block: frame offset, note, velocity.
    struct Note {
        std::int32_t delta;
        int note;
        int velocity;
    } pending[512];
    int pendingCount = 0;
    bool badDelta = false;
};

Fake* self(AEffect* e) { return static_cast<Fake*>(e->object); }

void copyText(void* ptr, const char* text) { std::strcpy(static_cast<char*>(ptr), text); }

// A real access violation, also in sanitizer builds (whose checks would
// otherwise end the process with a report before the fault happens).
[[maybe_unused]]
#if defined(__GNUC__) && !defined(_WIN32)
__attribute__((no_sanitize("address", "undefined")))
#endif
void crash() {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

VstIntPtr VST_CALL dispatch(AEffect* e, std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr, float opt) {
    Fake* f = self(e);
    switch (opcode) {
    case effOpen:
#if FAKE_KIND == FAKE_HANG_OPEN
        for (volatile bool forever = true; forever;) {
        }
#endif
        return 0;
    case effClose: delete f; return 1;
    case effSetSampleRate: f->sampleRate = opt; return 0;
    case effMainsChanged: f->resumed = value != 0; return 0;
    case effGetEffectName:
#if FAKE_KIND == FAKE_CRASH_NAME
        crash();
#endif
        copyText(ptr, FAKE_KIND == FAKE_STEREO ? "Fake Stereo"
                      : FAKE_KIND == FAKE_EFFECT ? "Fake Effect"
                      : FAKE_KIND == FAKE_WIDE   ? "Fake Wide"
                      : FAKE_IS_EFFECT           ? "Fake Hang"
                      : FAKE_KIND == FAKE_TIME   ? "Fake Time"
                      : FAKE_KIND == FAKE_LATENCY ? "Fake Latency"
                      : FAKE_KIND == FAKE_MIDI_OUT ? "Fake MIDI Out"
                                                 : "Fake Impulse");
        return 1;
    case effGetVendorString: copyText(ptr, "Kestravian Tests"); return 1;
    case effGetProductString: copyText(ptr, "Fakes"); return 1;
    case effGetVendorVersion: return 1234;
    case effGetVstVersion: return 2400;
    case effGetPlugCategory: return FAKE_KIND == FAKE_STEREO ? 11 : FAKE_IS_EFFECT ? 1 : 2;
    case effGetTailSize: return 0;
    case effCanDo: {
        const char* word = static_cast<const char*>(ptr);
        if (FAKE_IS_EFFECT) return -1;
        if (std::strcmp(word, "receiveVstEvents") == 0 || std::strcmp(word, "receiveVstMidiEvent") == 0) return 1;
        if (std::strcmp(word, "sendVstMidiEvent") == 0) return -1;
        return 0;
    }
    case effGetInputProperties:
    case effGetOutputProperties: {
        const bool input = opcode == effGetInputProperties;
        if (index < 0 || index >= (input ? e->numInputs : e->numOutputs)) return 0;
        auto* pin = static_cast<VstPinProperties*>(ptr);
        if (FAKE_KIND == FAKE_PINS) {
            std::memset(pin, 0x5A, sizeof *pin);  // every byte of the record, reserved ones too
            pin->label[63] = '\0';
            pin->shortLabel[7] = '\0';
            pin->flags = kVstPinIsActive;
            pin->arrangementType = kVstSpeakerArrMono;
            return 1;
        }
        static const char* const outs[] = {"Left", "Right"};
        std::strcpy(pin->label, input ? "In" : (FAKE_KIND == FAKE_STEREO ? outs[index] : "Impulse"));
        pin->flags = input ? 0 : kVstPinIsActive;
        return 1;
    }
    case effGetProgramNameIndexed:
        if (FAKE_KIND == FAKE_EFFECT && index >= 0 && index < 2) {
            copyText(ptr, index == 0 ? "Unity" : "Half");
            return 1;
        }
        if (FAKE_KIND != FAKE_STEREO || index < 0 || index > 1) return 0;
        copyText(ptr, index == 0 ? "Init" : "Bright");
        return 1;
    case effSetProgram:
        f->program = static_cast<int>(value);
        if (FAKE_KIND == FAKE_EFFECT) f->params[0] = value == 1 ? 0.25f : 0.5f;
        return 0;
    case effGetProgram: return f->program;
    case effGetProgramName: {
        static const char* const names[] = {"Init", "Bright", "Dark"};
        static const char* const effectNames[] = {"Unity", "Half"};
        copyText(ptr, FAKE_KIND == FAKE_EFFECT ? effectNames[f->program % 2] : names[f->program % 3]);
        return 0;
    }
    case effGetParamName: {
        static const char* const names[] = {"Gain", FAKE_IS_EFFECT ? "Gain Trim" : "Mix", "Poison", "Exit"};
        copyText(ptr, index >= 0 && index < 4 ? names[index] : "");
        return 0;
    }
    case effGetParamLabel: copyText(ptr, index == 0 ? "dB" : "%"); return 0;
    case effGetParamDisplay: copyText(ptr, index == 0 ? "-6.0" : "25"); return 0;
    case effGetChunk: {
        if (FAKE_KIND != FAKE_EFFECT) return 0;
        std::memcpy(f->chunk, "FKCH", 4);
        std::memcpy(f->chunk + 4, f->params, sizeof f->params);
        *static_cast<void**>(ptr) = f->chunk;
        return sizeof f->chunk;
    }
    case effSetChunk:
        if (FAKE_KIND != FAKE_EFFECT || value != static_cast<VstIntPtr>(sizeof f->chunk) ||
            std::memcmp(ptr, "FKCH", 4) != 0) {
            return 0;
        }
        std::memcpy(f->params, static_cast<const unsigned char*>(ptr) + 4, sizeof f->params);
        return 1;
    case effProcessEvents: {
        const auto* list = static_cast<const VstEvents*>(ptr);
        for (std::int32_t i = 0; i < list->numEvents; ++i) {
            const VstEvent* ev = eventSlots(list)[i];
            if (ev->type != kVstMidiType) continue;
            const auto* m = reinterpret_cast<const VstMidiEvent*>(ev);
            const int status = static_cast<unsigned char>(m->midiData[0]) & 0xF0;
            const int velocity = static_cast<unsigned char>(m->midiData[2]);
            if (status != 0x90 || velocity == 0 || f->pendingCount == 512) continue;
            f->pending[f->pendingCount++] = {m->deltaFrames, static_cast<unsigned char>(m->midiData[1]), velocity};
        }
        return 1;
    }
    default: return 0;
    }
}

// Writes the pending note-ons into the block; a frame offset outside the
// block, or rendering before resume, shows up as an impossible value.
void render(AEffect* e, float** outputs, std::int32_t frames, bool accumulate) {
    Fake* f = self(e);
#if FAKE_KIND == FAKE_CRASH_RENDER
    if (f->blocks == 1) crash();
#endif
    ++f->blocks;
    for (std::int32_t c = 0; c < e->numOutputs; ++c) {
        for (std::int32_t i = 0; i < frames; ++i) {
            if (!accumulate) outputs[c][i] = 0.0f;
            if (!f->resumed || f->sampleRate <= 0.0f) outputs[c][i] += 9.0f;
        }
    }
    for (int n = 0; n < f->pendingCount; ++n) {
        const Fake::Note& note = f->pending[n];
        if (note.delta < 0 || note.delta >= frames) {
            outputs[0][0] = -9.0f;
            continue;
        }
        outputs[0][note.delta] += static_cast<float>(note.velocity) / 127.0f;
        if (e->numOutputs > 1) outputs[1][note.delta] += static_cast<float>(note.note) / 127.0f;
    }
    f->pendingCount = 0;
}

// The host's time at each block, as levels: a plug-in that follows the
// tempo hears exactly this.
[[maybe_unused]] void timeRender(AEffect* e, float** outputs, std::int32_t frames) {
    Fake* f = self(e);
    const auto* t = reinterpret_cast<const VstTimeInfo*>(f->host(e, audioMasterGetTime, 0, kVstPpqPosValid | kVstTempoValid | kVstBarsValid, nullptr, 0.0f));
    const float level = static_cast<float>(f->host(e, audioMasterGetCurrentProcessLevel, 0, 0, nullptr, 0.0f));
    for (std::int32_t i = 0; i < frames; ++i) {
        outputs[0][i] = t != nullptr ? static_cast<float>(t->ppqPos) : -1.0f;
        outputs[1][i] = t != nullptr ? static_cast<float>(t->barStartPos) : -1.0f;
        outputs[2][i] = t != nullptr ? static_cast<float>(t->tempo) : -1.0f;
        outputs[3][i] = t != nullptr ? static_cast<float>(t->samplesToNextClock) : -1.0f;
        outputs[4][i] = level;
        outputs[5][i] = t != nullptr ? static_cast<float>(t->flags) : -1.0f;
    }
}

// The input delayed by the latency it reports; from block 50 on it reports
// 200 frames and says so, without changing what it plays.
[[maybe_unused]] void latencyRender(AEffect* e, float** inputs, float** outputs, std::int32_t frames) {
    Fake* f = self(e);
    static thread_local float line[100] = {};
    static thread_local int at = 0;
    for (std::int32_t i = 0; i < frames; ++i) {
        outputs[0][i] = line[at];
        line[at] = inputs[0][i];
        at = (at + 1) % 100;
    }
    if (++f->blocks == 50) {
        e->initialDelay = 200;
        f->host(e, audioMasterIOChanged, 0, 0, nullptr, 0.0f);
    }
}

// "Gain" as a level, note-ons as impulses; each note-on is sent back out an
// octave up at its frame; in its fourth block it reports "Gain" at 0.75.
[[maybe_unused]] void midiOutRender(AEffect* e, float** outputs, std::int32_t frames) {
    Fake* f = self(e);
    for (std::int32_t i = 0; i < frames; ++i) outputs[0][i] = f->params[0];
    VstMidiEvent out[64] = {};
    struct {
        std::int32_t numEvents;
        VstIntPtr reserved;
        VstEvent* events[64];
    } list = {0, 0, {}};
    for (int n = 0; n < f->pendingCount && n < 64; ++n) {
        const Fake::Note& note = f->pending[n];
        if (note.delta >= 0 && note.delta < frames) outputs[0][note.delta] += static_cast<float>(note.velocity) / 127.0f;
        out[n].type = kVstMidiType;
        out[n].byteSize = sizeof(VstMidiEvent) - 8;
        out[n].deltaFrames = note.delta;
        out[n].midiData[0] = static_cast<char>(0x90);
        out[n].midiData[1] = static_cast<char>(note.note + 12);
        out[n].midiData[2] = static_cast<char>(note.velocity);
        list.events[list.numEvents++] = reinterpret_cast<VstEvent*>(&out[n]);
    }
    if (list.numEvents > 0) f->host(e, audioMasterProcessEvents, 0, 0, &list, 0.0f);
    f->pendingCount = 0;
    if (++f->blocks == 4) {
        f->params[0] = 0.75f;
        f->host(e, audioMasterAutomate, 0, 0, nullptr, 0.75f);
    }
}

// The effects: output k is input k times twice "Gain"; "Poison" puts a NaN
// on frame 1000 of output 2 and an infinity on frame 1500 of output 1;
// "Exit" ends the process in the second block.
[[maybe_unused]] void effect(AEffect* e, float** inputs, float** outputs, std::int32_t frames) {
    Fake* f = self(e);
#if FAKE_KIND == FAKE_HANG_RENDER
    if (f->blocks == 2) {
        for (volatile bool forever = true; forever;) {
        }
    }
#endif
    if (f->params[3] > 0.5f && f->blocks == 1) std::exit(9);
    ++f->blocks;
    const float gain = 2.0f * f->params[0];
    for (std::int32_t c = 0; c < e->numOutputs; ++c) {
        for (std::int32_t i = 0; i < frames; ++i) {
            outputs[c][i] = (f->resumed ? 1.0f : 9.0f) * inputs[c][i] * gain;
        }
    }
    if (f->params[2] > 0.5f) {
        for (std::int32_t i = 0; i < frames; ++i) {
            if (f->framesDone + static_cast<std::uint64_t>(i) == 1000) outputs[1][i] = std::nanf("");
            if (f->framesDone + static_cast<std::uint64_t>(i) == 1500) outputs[0][i] = HUGE_VALF;
        }
    }
    f->framesDone += static_cast<std::uint64_t>(frames);
}

void VST_CALL process(AEffect* e, float** inputs, float** outputs, std::int32_t frames) {
    (void)inputs;
    render(e, outputs, frames, true);
}
void VST_CALL processReplacing(AEffect* e, float** inputs, float** outputs, std::int32_t frames) {
#if FAKE_KIND == FAKE_TIME
    (void)inputs;
    timeRender(e, outputs, frames);
#elif FAKE_KIND == FAKE_LATENCY
    latencyRender(e, inputs, outputs, frames);
#elif FAKE_KIND == FAKE_MIDI_OUT
    (void)inputs;
    midiOutRender(e, outputs, frames);
#elif FAKE_IS_EFFECT
    effect(e, inputs, outputs, frames);
#else
    (void)inputs;
    render(e, outputs, frames, false);
#endif
}
void VST_CALL setParameter(AEffect* e, std::int32_t index, float value) {
    if (index >= 0 && index < e->numParams) self(e)->params[index] = value;
}
float VST_CALL getParameter(AEffect* e, std::int32_t index) {
    return index >= 0 && index < e->numParams ? self(e)->params[index] : 0.0f;
}

AEffect* create(audioMasterCallback host) {
    if (host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
    // A host refuses a record without the magic number and never closes it,
    // so that variant's instance is not allocated.
    static Fake refused;
    Fake* f = FAKE_KIND == FAKE_BAD_MAGIC ? &refused : new Fake;
    AEffect& r = f->record;
    r.magic = FAKE_KIND == FAKE_BAD_MAGIC ? 0x12345678 : kEffectMagic;
    r.dispatcher = dispatch;
    r.process = process;
    r.processReplacing = processReplacing;
    r.setParameter = setParameter;
    r.getParameter = getParameter;
    r.object = f;
    r.ioRatio = 1.0f;
    r.version = 7;
    r.uniqueID = fourCharCode('F', 'a', 'k', FAKE_KIND == FAKE_STEREO ? 's' : FAKE_KIND == FAKE_EFFECT ? 'e' : FAKE_KIND == FAKE_WIDE ? 'w'
                                             : FAKE_KIND == FAKE_TIME ? 't' : FAKE_KIND == FAKE_LATENCY ? 'l'
                                             : FAKE_KIND == FAKE_MIDI_OUT ? 'm' : 'i');
    if (FAKE_IS_EFFECT) {
        r.numInputs = FAKE_KIND == FAKE_WIDE ? 3 : 2;
        r.numOutputs = r.numInputs;
        r.numPrograms = FAKE_KIND == FAKE_EFFECT ? 2 : 0;
        r.numParams = 4;
        r.flags = effFlagsCanReplacing | (FAKE_KIND == FAKE_EFFECT ? effFlagsProgramChunks : 0);
    } else if (FAKE_KIND == FAKE_STEREO) {
        r.numInputs = 1;
        r.numOutputs = 2;
        r.numPrograms = 3;
        r.numParams = 2;
        r.flags = effFlagsCanMono | effFlagsProgramChunks | effFlagsIsSynth | (1 << 12);
    } else if (FAKE_KIND == FAKE_TIME) {
        r.numOutputs = 6;
        r.flags = effFlagsCanReplacing | effFlagsIsSynth;
    } else if (FAKE_KIND == FAKE_LATENCY) {
        r.numInputs = 1;
        r.numOutputs = 1;
        r.initialDelay = 100;
        r.flags = effFlagsCanReplacing;
    } else if (FAKE_KIND == FAKE_MIDI_OUT) {
        r.numOutputs = 1;
        r.numParams = 1;
        f->params[0] = 0.0f;
        r.flags = effFlagsCanReplacing | effFlagsIsSynth;
    } else {
        r.numInputs = 0;
        r.numOutputs = 1;
        r.flags = effFlagsCanReplacing | effFlagsIsSynth;
    }
    f->host = host;
    return &r;
}

}  // namespace

#if FAKE_KIND != FAKE_NO_ENTRY
FAKE_EXPORT AEffect* VST_CALL VSTPluginMain(audioMasterCallback host) {
#if FAKE_KIND == FAKE_NULL
    (void)host;
    return nullptr;
#elif FAKE_KIND == FAKE_CRASH_ENTRY
    (void)host;
    crash();
    return nullptr;
#elif FAKE_KIND == FAKE_EXIT_ENTRY
    (void)host;
    std::exit(7);
#else
    return create(host);
#endif
}
#else
FAKE_EXPORT int fakeSomethingElse() { return 0; }
#endif

#if FAKE_KIND == FAKE_NULL || FAKE_KIND == FAKE_CRASH_ENTRY || FAKE_KIND == FAKE_EXIT_ENTRY || FAKE_KIND == FAKE_NO_ENTRY
// Keeps the unused parts referenced so every variant builds warning-free.
FAKE_EXPORT void* fakeUnused() { return reinterpret_cast<void*>(&create); }
#endif
