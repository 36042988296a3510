// A small, well-behaved plug-in (2 inputs, 2 outputs, MIDI in, 3 parameters,
// 4 programs, chunks, an editor that draws nothing, pin records filled in
// all their 128 bytes) with one fault injected per module, so that the
// validator can be shown to catch each fault with the test meant for it.
// One build serves every fault: it is copied as faulty_<name> (.so, .dll)
// and each copy takes its fault from its own file name when it is loaded
// ("none" is the clean plug-in, which must pass all; a name it does not
// know gives no instance). Two faults are in the module's linking, so they
// have builds of their own: FAULT_BUILD=FAULT_UNRESOLVED (Linux) and
// FAULT_BUILD=FAULT_NO_ENTRY.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>

#include "host/abi/aeffect.h"
#include "host/abi/events.h"
#include "host/abi/opcodes.h"
#include "host/abi/pins.h"
#include "host/abi/time_info.h"
#include "tests/fixtures/variant_by_name.h"

#define FAULT_NONE 0
#define FAULT_NAN 1             // a NaN in the output once 20000 frames have been rendered
#define FAULT_OVERRUN 2         // writes one frame past the frames asked for
#define FAULT_INPUT_WRITE 3     // scales its inputs in place
#define FAULT_CRASH 4           // crashes on an instance's 5th resume
#define FAULT_HANG 5            // never returns from effSetSampleRate at 11025 Hz
#define FAULT_LEAK 6            // forgets 16 KiB on every close
#define FAULT_PARAM_RANGE 7     // parameter 2 reads back twice what was set
#define FAULT_UNTERMINATED 8    // parameter names without a terminating NUL
#define FAULT_OVERLONG 9        // display texts of 300 characters
#define FAULT_CHUNK 10          // every chunk it gives differs from the last
#define FAULT_RANDOM 11         // adds noise that differs between instances
#define FAULT_SUBNORMAL 12      // a decaying tail that is never flushed to zero
#define FAULT_IN_PLACE 13       // reads the previous input frame after overwriting it
#define FAULT_ACCUMULATE 14     // process overwrites instead of adding
#define FAULT_PROGRAM 15        // effGetProgram always answers 0
#define FAULT_BAD_CHUNK 16      // trusts a length inside the chunk it is given
#define FAULT_IDENTITY 17       // a different name for every instance
#define FAULT_SHARED 18         // instances share their filter state
#define FAULT_BAD_RECORD 19     // announces -1 outputs
#define FAULT_ZERO_FRAMES 20    // writes a frame when asked for none
#define FAULT_UNWRITTEN 21      // processReplacing leaves the last frame unwritten
#define FAULT_UNDERRUN 22       // writes one frame before the buffer
#define FAULT_EXIT 23           // ends the process when opened
#define FAULT_ALLOCATE 24       // allocates and frees a scratch buffer in every render call
#define FAULT_LOCK 25           // takes a lock in every render call
#define FAULT_EDITOR_CRASH 26   // its editor crashes when opened
#define FAULT_CHUNK_IGNORED 27  // accepts a chunk and applies nothing of it
#define FAULT_LATENCY 28        // reports 190 s of latency
#define FAULT_UNRESOLVED 29     // needs a symbol no library defines (a Linux module; elsewhere the clean one)
#define FAULT_NO_ENTRY 30       // exports its entry under a name no host looks for
#define FAULT_SLOW_OPEN 31      // spends 1.2 s of processor time in its first effOpen
#define FAULT_LONG_BLOCK 32     // renders no more than the announced block size
#define FAULT_RUNNING_CHANGE 33 // a rate or block size change while resumed leaves its filter NaN
#define FAULT_SILENT 34         // an instrument that never sounds
#define FAULT_PRESSURE 35       // channel pressure turns the click NaN
#define FAULT_SLOW_TEMPO 36     // its tempo-synced delay holds a beat at 30 bpm or faster; slower tempos give NaN
#define FAULT_RAMP 37           // a parameter changed again within 1024 frames of its last change gives NaN
#define FAULT_SHORT_AFTER_CHANGE 38  // a block shorter than announced right after a parameter change: NaN in the next
#define FAULT_PARAM_THREAD 39   // a parameter set on another thread than the audio thread's gives NaN
#define FAULT_CHUNK_WHILE_RUNNING 40  // ignores chunks while resumed
#define FAULT_FOREIGN_RECORD 41 // asks the host with a copy of its record
#define FAULT_NULL_WRITE 42     // writes through the pointer of request 100 without looking at it
#define FAULT_BUFFER_FILL 43    // fills 256 bytes of the buffer of request 200
#define FAULT_NEGATIVE_FRAMES 44  // writes 4 frames of every output when asked for fewer than 0
#define FAULT_TRAP 45           // divides zero by zero in every render call

// The fault built into the module's linking (none, for the common build).
#ifndef FAULT_BUILD
#define FAULT_BUILD FAULT_NONE
#endif

#if defined(_WIN32)
#define FAULT_EXPORT extern "C" __declspec(dllexport)
#else
#define FAULT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// The faults' names, by number: the module faulty_<name> has that fault.
const char* const kFaultNames[] = {"none", "nan", "overrun", "input_write", "crash", "hang", "leak", "param_range",
    "unterminated", "overlong", "chunk", "random", "subnormal", "in_place", "accumulate", "program", "bad_chunk",
    "identity", "shared", "bad_record", "zero_frames", "unwritten", "underrun", "exit", "allocate", "lock",
    "editor_crash", "chunk_ignored", "latency", "unresolved", "no_entry", "slow_open", "long_block",
    "running_change", "silent", "pressure", "slow_tempo", "ramp", "short_after_change", "param_thread",
    "chunk_while_running", "foreign_record", "null_write", "buffer_fill", "negative_frames", "trap"};
static_assert(sizeof kFaultNames / sizeof kFaultNames[0] == FAULT_TRAP + 1, "a name for every fault");

// Chosen once, as the module is loaded.
const int fault = fixtures::variantByFileName(&kFaultNames, "faulty_", kFaultNames, FAULT_TRAP + 1);

constexpr int kParams = 3;
constexpr int kPrograms = 4;

struct State {
    float memory[2] = {0.0f, 0.0f};  // one-pole filter state per channel
    float tail = 0.0f;               // a decaying click started by note-ons
};

struct Plugin {
    AEffect record{};
    float params[kParams] = {0.5f, 0.5f, 0.5f};
    int program = 0;
    char programNames[kPrograms][24] = {"Init", "Soft", "Hard", "Wide"};
    float sampleRate = 44100.0f;
    State own;
    State* state = &own;
    int resumes = 0;
    long long rendered = 0;
    unsigned chunkSerial = 0;
    int serial = 0;
    // The chunk: the number of parameters, their values, a tag.
    unsigned char chunk[4 + 4 * kParams + 4] = {};
    unsigned noise = 0;
    void* lost = nullptr;
    std::int16_t rect[4] = {0, 0, 120, 240};  // the editor's top, left, bottom, right
    void* window = nullptr;
    audioMasterCallback host = nullptr;
    bool resumed = false;
    std::int32_t blockSize = 0;    // as announced
    std::atomic<bool> broken{false};  // a fault has struck: the output is NaN from now on
    long long changedAt[kParams];  // frames rendered when each parameter last changed
    bool changedSinceBlock = false;
    bool unfinished = false;
    std::atomic<std::thread::id> audioThread{};
};

Plugin* self(AEffect* e) { return static_cast<Plugin*>(e->object); }

[[maybe_unused]]
#if defined(__GNUC__) && !defined(_WIN32)
__attribute__((no_sanitize("address", "undefined")))
#endif
void crash() {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

// Writes through a pointer without looking at it: a real access violation
// for a null one, also in sanitizer builds (whose null check would end the
// process with a report instead).
[[maybe_unused]]
#if defined(__GNUC__) && !defined(_WIN32)
__attribute__((no_sanitize("address", "undefined")))
#endif
void writeThrough(void* ptr) {
    *static_cast<volatile int*>(ptr) = 1;
}

// Reads as many values as the chunk's first word says, with no regard for
// its size: a real access violation also in sanitizer builds.
[[maybe_unused]]
#if defined(__GNUC__) && !defined(_WIN32)
__attribute__((no_sanitize("address", "undefined")))
#endif
void readAsTold(const unsigned char* data) {
    unsigned count = 0;
    std::memcpy(&count, data, 4);
    volatile float sum = 0.0f;
    for (unsigned i = 0; i < count; ++i) sum = sum + reinterpret_cast<const volatile float*>(data + 4)[i * 1024];
}

[[maybe_unused]] State sharedState;
[[maybe_unused]] std::mutex renderLock;
[[maybe_unused]] float* volatile allocated = nullptr;
[[maybe_unused]] int instances = 0;
[[maybe_unused]] unsigned randomSeed = 1;
[[maybe_unused]] AEffect foreign{};

// Spends `seconds` of processor time.
[[maybe_unused]] void spin(double seconds) {
    const std::clock_t start = std::clock();
    while (static_cast<double>(std::clock() - start) < seconds * CLOCKS_PER_SEC) {
    }
}

void text(void* ptr, const char* s) { std::strcpy(static_cast<char*>(ptr), s); }

VstIntPtr VST_CALL dispatch(AEffect* e, std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr, float opt) {
    Plugin* p = self(e);
    switch (opcode) {
    case 100:
        if (fault == FAULT_NULL_WRITE) writeThrough(ptr);
        return 0;
    case 200:
        if (fault == FAULT_BUFFER_FILL && ptr != nullptr) std::memset(ptr, 0, 256);
        return 0;
    case effOpen:
        if (fault == FAULT_EXIT) std::exit(3);
        if (fault == FAULT_SLOW_OPEN && instances == 1) spin(1.2);
        if (fault == FAULT_FOREIGN_RECORD) {
            foreign = p->record;  // a copy of its record, which the host does not know
            p->host(&foreign, audioMasterVersion, 0, 0, nullptr, 0.0f);
        }
        return 0;
    case effClose:
        if (fault == FAULT_LEAK) {
            p->lost = nullptr;  // the 16 KiB block is forgotten
        } else {
            std::free(p->lost);
        }
        delete p;
        return 1;
    case effSetSampleRate:
        if (fault == FAULT_HANG) {
            if (opt == 11025.0f) {
                for (volatile bool forever = true; forever;) {
                }
            }
        }
        if (opt > 0.0f) p->sampleRate = opt;
        if (fault == FAULT_RUNNING_CHANGE && p->resumed) p->state->memory[0] = std::nanf("");
        return 0;
    case effSetBlockSize:
        p->blockSize = static_cast<std::int32_t>(value);
        if (fault == FAULT_RUNNING_CHANGE && p->resumed) p->state->memory[0] = std::nanf("");
        return 0;
    case effMainsChanged:
        p->resumed = value != 0;
        if (value != 0) {
            if (fault == FAULT_CRASH && ++p->resumes == 5) crash();
            p->state->memory[0] = p->state->memory[1] = 0.0f;
            p->state->tail = 0.0f;
        }
        return 0;
    case effSetProgram:
        if (value >= 0 && value < kPrograms) p->program = static_cast<int>(value);
        return 0;
    case effGetProgram:
        return fault == FAULT_PROGRAM ? 0 : p->program;
    case effSetProgramName: std::strncpy(p->programNames[p->program], static_cast<const char*>(ptr), 23); return 0;
    case effGetProgramName: text(ptr, p->programNames[p->program]); return 0;
    case effGetProgramNameIndexed:
        if (index < 0 || index >= kPrograms) return 0;
        text(ptr, p->programNames[index]);
        return 1;
    case effGetParamName:
        if (fault == FAULT_UNTERMINATED) {
            std::memcpy(ptr, "Gain", 4);
        } else if (index >= 0 && index < kParams) {
            text(ptr, index == 0 ? "Gain" : index == 1 ? "Tone" : "Click");
        }
        return 0;
    case effGetParamLabel: text(ptr, index == 0 ? "dB" : ""); return 0;
    case effGetParamDisplay:
        if (fault == FAULT_OVERLONG) {
            std::memset(ptr, 'x', 300);
            static_cast<char*>(ptr)[300] = 0;
        } else if (index >= 0 && index < kParams) {
            char* out = static_cast<char*>(ptr);
            const int v = static_cast<int>(p->params[index] * 100.0f + 0.5f);
            out[0] = static_cast<char>('0' + v / 100);
            out[1] = static_cast<char>('0' + v / 10 % 10);
            out[2] = static_cast<char>('0' + v % 10);
            out[3] = 0;
        }
        return 0;
    case effGetChunk: {
        const unsigned count = kParams;
        std::memcpy(p->chunk, &count, 4);
        for (int i = 0; i < kParams; ++i) std::memcpy(p->chunk + 4 + 4 * i, &p->params[i], 4);
        unsigned tag = 0x4B535456;
        if (fault == FAULT_CHUNK) tag += ++p->chunkSerial;
        std::memcpy(p->chunk + 4 + 4 * kParams, &tag, 4);
        *static_cast<void**>(ptr) = p->chunk;
        return sizeof p->chunk;
    }
    case effSetChunk: {
        const auto* data = static_cast<const unsigned char*>(ptr);
        if (fault == FAULT_BAD_CHUNK && data != nullptr && value >= 4) readAsTold(data);
        if (data == nullptr || value != static_cast<VstIntPtr>(sizeof p->chunk)) return 0;
        if (fault == FAULT_CHUNK_IGNORED) return 1;
        if (fault == FAULT_CHUNK_WHILE_RUNNING && p->resumed) return 1;
        for (int i = 0; i < kParams; ++i) {
            float v;
            std::memcpy(&v, data + 4 + 4 * i, 4);
            if (v >= 0.0f && v <= 1.0f) p->params[i] = v;
        }
        return 1;
    }
    case effProcessEvents: {
        const auto* list = static_cast<const VstEvents*>(ptr);
        if (list == nullptr) return 1;
        for (std::int32_t i = 0; i < list->numEvents; ++i) {
            const VstEvent* ev = eventSlots(list)[i];
            if (ev == nullptr || ev->type != kVstMidiType) continue;
            const auto* m = reinterpret_cast<const VstMidiEvent*>(ev);
            if ((m->midiData[0] & 0xF0) == 0x90 && m->midiData[2] != 0) {
                p->state->tail = static_cast<float>(m->midiData[2]) / 127.0f * p->params[2];
            }
            if (fault == FAULT_PRESSURE && (m->midiData[0] & 0xF0) == 0xD0) p->state->tail = std::nanf("");
        }
        return 1;
    }
    case effGetInputProperties:
    case effGetOutputProperties: {
        if (index < 0 || index >= 2 || ptr == nullptr) return 0;
        // The whole record, reserved bytes included, as some plug-ins do.
        auto* pin = static_cast<VstPinProperties*>(ptr);
        std::memset(pin, 0, sizeof *pin);
        std::strcpy(pin->label, index == 0 ? "Left" : "Right");
        std::strcpy(pin->shortLabel, index == 0 ? "L" : "R");
        pin->flags = kVstPinIsActive | (index == 0 ? kVstPinIsStereo : 0);
        pin->arrangementType = kVstSpeakerArrStereo;
        return 1;
    }
    case effEditGetRect:
        if (ptr != nullptr) *static_cast<std::int16_t**>(ptr) = p->rect;
        return 1;
    case effEditOpen:
        if (fault == FAULT_EDITOR_CRASH) crash();
        p->window = ptr;
        return 1;
    case effEditClose: p->window = nullptr; return 1;
    case effEditIdle: return 1;
    case effGetEffectName:
        text(ptr, fault == FAULT_IDENTITY && p->serial % 2 != 0 ? "Faulty B" : "Faulty");
        return 1;
    case effGetVendorString: text(ptr, "Kestravian Tests"); return 1;
    case effGetProductString: text(ptr, "Faulty"); return 1;
    case effGetVendorVersion: return 1;
    case effGetVstVersion: return fault == FAULT_ACCUMULATE ? 2300 : 2400;  // the accumulating entry counts below 2.4
    case effGetPlugCategory: return fault == FAULT_SILENT ? kPlugCategSynth : 1;
    case effCanDo: {
        const char* word = static_cast<const char*>(ptr);
        return word != nullptr && (std::strcmp(word, "receiveVstEvents") == 0 || std::strcmp(word, "receiveVstMidiEvent") == 0)
                   ? 1
                   : 0;
    }
    default: return 0;
    }
}

// A one-pole low-pass per channel, a gain, and a decaying click after each
// note-on, flushed to zero once inaudible.
void render(AEffect* e, float** in, float** out, std::int32_t frames, bool add) {
    Plugin* p = self(e);
    if (fault == FAULT_ZERO_FRAMES && frames == 0) out[0][0] = 0.0f;
    if (fault == FAULT_NEGATIVE_FRAMES) {
        if (frames < 0) {
            for (int c = 0; c < 2; ++c) std::memset(out[c], 0, 4 * sizeof(float));
        }
    }
    if (frames <= 0) return;
    if (fault == FAULT_TRAP) {
        volatile float zero = 0.0f;
        volatile float invalid = zero / zero;
        (void)invalid;
    }
    if (fault == FAULT_ALLOCATE) {
        float* scratch = new float[static_cast<std::size_t>(frames)];
        scratch[0] = 0.0f;
        allocated = scratch;  // kept from the optimiser, which may drop a new that nothing sees
        delete[] scratch;
    }
    std::unique_lock<std::mutex> lock(renderLock, std::defer_lock);
    if (fault == FAULT_LOCK) lock.lock();
    if (fault == FAULT_LONG_BLOCK && p->blockSize > 0 && frames > p->blockSize) frames = p->blockSize;
    if (fault == FAULT_SLOW_TEMPO) {
        const auto* time = reinterpret_cast<const VstTimeInfo*>(p->host(e, audioMasterGetTime, 0, kVstTempoValid, nullptr, 0.0f));
        if (time != nullptr && (time->flags & kVstTempoValid) != 0 && time->tempo < 30.0) p->broken = true;
    }
    if (fault == FAULT_SHORT_AFTER_CHANGE) {
        // The change is spread over the announced block; a shorter block leaves
        // the spreading unfinished, and the block after it plays NaN.
        if (p->unfinished) p->broken = true;
        p->unfinished = p->changedSinceBlock && p->blockSize > 0 && frames < p->blockSize;
        p->changedSinceBlock = false;
    }
    if (fault == FAULT_PARAM_THREAD) {
        p->audioThread.store(std::this_thread::get_id());
        // About the pace of a real plug-in's work, so that another thread's
        // calls meet the rendering.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool broken = p->broken.load();
    const float gain = 2.0f * p->params[0];
    const float k = 0.05f + 0.9f * p->params[1];
    for (int c = 0; c < 2; ++c) {
        float m = p->state->memory[c];
        float tail = p->state->tail;
        [[maybe_unused]] float previous = 0.0f;
        std::int32_t last = frames;
        if (fault == FAULT_UNWRITTEN && !add) last = frames - 1;
        for (std::int32_t i = 0; i < last; ++i) {
            float x = in[c][i];
            if (fault == FAULT_IN_PLACE) x = 0.5f * (x + previous);
            m += k * (x - m);
            float y = gain * m + tail;
            tail *= 0.999f;
            if (std::fabs(tail) < 1e-9f) tail = 0.0f;
            if (fault != FAULT_SUBNORMAL && std::fabs(m) < 1e-20f) m = 0.0f;
            if (fault == FAULT_RANDOM) {
                randomSeed = randomSeed * 1103515245u + 12345u;
                y += static_cast<float>(randomSeed >> 16) * 1e-6f;
            }
            if (fault == FAULT_NAN && p->rendered + i == 20000) y = std::nanf("");
            if (broken) y = std::nanf("");
            if (fault == FAULT_SILENT) y = 0.0f;
            if (add) {
                if (fault == FAULT_ACCUMULATE) {
                    out[c][i] = y;
                } else {
                    out[c][i] += y;
                }
            } else {
                out[c][i] = y;
            }
            if (fault == FAULT_INPUT_WRITE && in[c] != out[c]) in[c][i] *= 0.5f;
            if (fault == FAULT_IN_PLACE) previous = in[c][i];  // already overwritten when processing in place
        }
        if (fault == FAULT_OVERRUN) out[c][frames] = 0.0f;
        if (fault == FAULT_UNDERRUN) out[c][-1] = 0.0f;
        p->state->memory[c] = m;
        if (c == 1) p->state->tail = tail;
    }
    p->rendered += frames;
}

void VST_CALL process(AEffect* e, float** in, float** out, std::int32_t frames) { render(e, in, out, frames, true); }
void VST_CALL processReplacing(AEffect* e, float** in, float** out, std::int32_t frames) {
    render(e, in, out, frames, false);
}
void VST_CALL setParameter(AEffect* e, std::int32_t index, float value) {
    Plugin* p = self(e);
    if (index < 0 || index >= kParams) return;
    p->params[index] = value;
    if (fault == FAULT_RAMP) {
        long long& at = p->changedAt[index];
        if (at >= 0 && p->rendered - at < 1024) p->broken = true;
        at = p->rendered;
    }
    p->changedSinceBlock = true;
    if (fault == FAULT_PARAM_THREAD) {
        const std::thread::id audio = p->audioThread.load();
        if (audio != std::thread::id() && audio != std::this_thread::get_id()) p->broken = true;
    }
}
float VST_CALL getParameter(AEffect* e, std::int32_t index) {
    if (index < 0 || index >= kParams) return 0.0f;
    if (fault == FAULT_PARAM_RANGE && index == 1) return 2.0f * self(e)->params[index];
    return self(e)->params[index];
}

#if FAULT_BUILD == FAULT_UNRESOLVED && !defined(_WIN32)
}  // namespace
extern "C" int kstv_faulty_nowhere_defined();
namespace {
#endif

AEffect* create(audioMasterCallback host) {
    if (host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
    auto* p = new (std::nothrow) Plugin;
    if (p == nullptr) return nullptr;
    p->serial = ++instances;
    p->host = host;
    for (long long& at : p->changedAt) at = -1;
    if (fault == FAULT_SHARED) p->state = &sharedState;
    p->lost = std::malloc(16384);
    if (p->lost != nullptr) std::memset(p->lost, 1, 16384);
    AEffect& r = p->record;
    r.magic = kEffectMagic;
    r.dispatcher = dispatch;
    r.process = process;
    r.processReplacing = processReplacing;
    r.setParameter = setParameter;
    r.getParameter = getParameter;
    r.numPrograms = kPrograms;
    r.numParams = kParams;
    r.numInputs = 2;
    r.numOutputs = fault == FAULT_BAD_RECORD ? -1 : 2;
    r.flags = effFlagsCanReplacing | effFlagsProgramChunks | effFlagsHasEditor | (fault == FAULT_SILENT ? effFlagsIsSynth : 0);
    r.initialDelay = fault == FAULT_LATENCY ? 1 << 23 : 0;
    r.ioRatio = 1.0f;
    r.object = p;
    r.uniqueID = fourCharCode('F', 'l', 't', 'y');
    r.version = 1;
    return &r;
}

}  // namespace

#if FAULT_BUILD == FAULT_NO_ENTRY
// The entry under a name no host looks for.
FAULT_EXPORT AEffect* VST_CALL VSTPlugMain(audioMasterCallback host) { return create(host); }
#else
FAULT_EXPORT AEffect* VST_CALL VSTPluginMain(audioMasterCallback host) {
    if (fault < 0) return nullptr;  // a copy under a name that is no fault's
#if FAULT_BUILD == FAULT_UNRESOLVED && !defined(_WIN32)
    if (host == nullptr) kstv_faulty_nowhere_defined();
#endif
    return create(host);
}
#endif
