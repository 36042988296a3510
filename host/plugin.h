// kstv::Plugin: a plug-in declared in tables rather than written request by
// request. Derive from it instead of EffectExt, hand it a Description
// (names, parameters, programs, pins) and write `render`; it answers the
// rest: parameter names, units, display texts, properties and typed-in
// values; programs and their names; the chunk that saves and restores the
// whole state; pin descriptions; the accumulating render; MIDI events
// decoded and placed at their frames.
//
//     class Width : public kstv::Plugin {
//     public:
//         explicit Width(audioMasterCallback host) : Plugin(host, kDescription) {}
//         void render(const float* const* in, float* const* out, std::int32_t frames) override;
//     };
//     KSTV_PLUGIN(Width);
//
// The unique id, the category and whether it is an instrument are given once,
// to kstv_add_plugin (cmake/KstvPlugin.cmake), which hands them to the code;
// KSTV_PLUGIN puts them in the record.
//
// Threads: the brackets are those of host/effect.h. In short, parameters may
// be set from any thread while the audio thread renders (they are stored
// atomically); programs, names and state change on the main thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

#include "host/effect_ext.h"
#include "host/entry.h"
#include "host/midi.h"
#include "host/parameter.h"
#include "host/smoother.h"
#include "host/state.h"

namespace kstv {

inline constexpr int kEffectNameMax = 31;  // characters of the effect's name
inline constexpr int kVendorTextMax = 63;  // characters of the vendor and product texts
inline constexpr int kPinLabelMax = 63;    // characters of a pin's label (its short label: 7)

// One audio pin. `stereo` marks the left one of a pair: it and the next pin
// are described as one stereo pair.
struct Pin {
    const char* name;       // up to 63 characters
    const char* shortName;  // up to 7
    bool stereo = false;
};

// A factory program: its name (up to 23 characters) and plain values in the
// order of the parameter table; parameters left out take their defaults.
struct Program {
    const char* name;
    std::initializer_list<double> values;
};

// What the host sees of the plug-in beyond its record's identity.
struct Description {
    const char* name;           // effect name, up to 31 characters
    const char* vendor;         // up to 63
    const char* product;        // up to 63
    std::int32_t version = 1;   // the vendor's version of the plug-in
    std::span<const Parameter> parameters = {};
    std::span<const Program> programs = {};  // none: one program named "Default"
    std::span<const Pin> inputs = {};
    std::span<const Pin> outputs = {};
    bool midiInput = false;     // takes MIDI; instruments always do
    std::uint32_t dataVersion = 0;  // version of what saveData writes
};

// The record's identity, from kstv_add_plugin.
struct Identity {
    std::int32_t uniqueId;
    std::int32_t category;  // kPlugCateg...
    bool synth;
};

class Plugin : public EffectExt {
public:
    // Sets the counts, pins, flags (replacing, chunks) and the factory
    // programs. Allocates: it runs in the module's entry. [main thread]
    Plugin(audioMasterCallback host, const Description& description);
    ~Plugin() override;

    // Unique id, category and the synth flag: KSTV_PLUGIN calls it right
    // after construction, before the host has the record. [constructor]
    void identify(const Identity& identity) noexcept;

protected:
    // ---- what a plug-in writes -------------------------------------------------
    // Overwrites `frames` frames (at least 1) of every output. `in` and `out`
    // hold one pointer per pin, already advanced to the piece being rendered;
    // they may point at the same memory (in-place processing), so read a
    // frame's input before writing its output. A block is rendered in pieces
    // between its events. [audio thread; no lock, no allocation]
    virtual void render(const float* const* in, float* const* out, std::int32_t frames) = 0;
    // Each event, at its frame: after the piece before it, before the piece
    // from it. Default: nothing. [audio thread; no lock, no allocation]
    virtual void onEvent(const Event& event);
    // Once per render call with at least one frame, before its first piece:
    // the place to read parameters and the host's time. Default: nothing.
    // [audio thread; no lock, no allocation]
    virtual void startBlock(std::int32_t frames);

    // ---- reading values [any thread; no lock, no allocation] ---------------------
    // The current program's value of parameter `index` (table order), as the
    // host set it (0..1) or mapped onto its range.
    float normalised(std::int32_t index) const noexcept {
        return validParameter(index) ? slot(current_.load(std::memory_order_relaxed), index).load(std::memory_order_relaxed)
                                     : 0.0f;
    }
    double plain(std::int32_t index) const noexcept;
    // The sample rate the host set, when it made sense (finite, 1 Hz to
    // 10 MHz); 44100 until then.
    double rate() const noexcept { return rate_; }
    std::int32_t parameterCount() const noexcept { return static_cast<std::int32_t>(description_.parameters.size()); }

    // ---- the plug-in's own data in its state [main thread] ------------------------
    // Appended to every chunk, after the programs. Default: nothing.
    virtual void saveData(Writer& out);
    // Reads back what saveData wrote, at `version` (Description::dataVersion
    // of the build that saved it). Return false to refuse the chunk, and then
    // change nothing; the chunk's parameters are taken only after this
    // returns true. Default: true.
    virtual bool loadData(Reader& in, std::uint32_t version);
    // A chunk in a layout of the plug-in's own, from before it used this
    // class: fill `into` (programs, current) and answer true to take it.
    // `into` comes with one program per program (bank) or one (preset),
    // holding defaults. Default: false (refused).
    virtual bool loadOlderChunk(const unsigned char* data, std::size_t size, bool isPreset, Snapshot& into);

public:
    // The table the plug-in was made with. [any thread]
    const Description& description() const noexcept { return description_; }

    // ---- what the host reaches; answered from the description ------------------------
    // [audio thread; no lock, no allocation]
    void process(float** inputs, float** outputs, std::int32_t sampleFrames) override;
    void processReplacing(float** inputs, float** outputs, std::int32_t sampleFrames) override;
    std::int32_t processEvents(VstEvents* events) override;  // keeps them for the next block; 1
    // [any thread; no lock, no allocation]: out of range and NaN are ignored,
    // the rest clamped to 0..1.
    void setParameter(std::int32_t index, float value) override;
    float getParameter(std::int32_t index) override;

    // [main thread] Texts are cut to the interface's limits.
    void getParamName(std::int32_t index, char* text) override;     // 8 characters
    void getParamLabel(std::int32_t index, char* text) override;    // 8 characters
    void getParamDisplay(std::int32_t index, char* text) override;  // 8 characters
    bool canBeAutomated(std::int32_t index) override;
    bool string2Parameter(std::int32_t index, char* text) override;
    bool getParameterProperties(std::int32_t index, VstParameterProperties* properties) override;

    // [main thread] Programs: names of 23 characters at most.
    void setProgram(std::int32_t program) override;  // ignores numbers outside the table
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;
    bool getProgramNameIndexed(std::int32_t category, std::int32_t index, char* text) override;
    bool copyProgram(std::int32_t destination) override;

    // [main thread] State. getChunk writes into a buffer this object owns and
    // stores its address in *data; the bytes stay valid until the next
    // getChunk or the instance's end. setChunk takes a whole chunk or,
    // refusing it (answer 0), changes nothing.
    std::int32_t getChunk(void* data, bool isPreset) override;
    std::int32_t setChunk(void* data, std::int32_t byteSize, bool isPreset) override;

    // [main thread; suspended] Rate and block size: also sizes the scratch
    // buffers of the accumulating render (allocates).
    void setSampleRate(float rate) override;
    void setBlockSize(std::int32_t size) override;
    void setBlockSizeAndSampleRate(std::int32_t size, float rate) override;
    // Asks the host for MIDI when the plug-in takes it; the events of an
    // earlier run are dropped. [main thread; suspended, then running]
    void resume() override;

    // [main thread] Identity and pins.
    bool getEffectName(char* name) override;
    bool getVendorString(char* text) override;
    bool getProductString(char* text) override;
    std::int32_t getVendorVersion() override;
    std::int32_t getPlugCategory() override;
    std::int32_t canDo(char* text) override;  // 1 for what it does, -1 otherwise
    bool getInputProperties(std::int32_t index, VstPinProperties* properties) override;
    bool getOutputProperties(std::int32_t index, VstPinProperties* properties) override;

private:
    std::atomic<float>& slot(std::int32_t program, std::int32_t index) const noexcept {
        return values_[static_cast<std::size_t>(program) * description_.parameters.size() +
                       static_cast<std::size_t>(index)];
    }
    bool validParameter(std::int32_t index) const noexcept {
        return index >= 0 && index < parameterCount();
    }
    // Every pin's buffer is there (a host may hand null ones). Asked on
    // every render call, so it is kept to a few instructions.
    bool buffersGiven(float* const* inputs, float* const* outputs) const noexcept {
        if (outputs == nullptr || (inputs == nullptr && ins_ > 0)) return false;
        const bool outs = allGiven(outputs, outs_), ins = allGiven(inputs, ins_);
        return outs & ins;  // both asked: no branch between them
    }
    static bool allGiven(float* const* buffers, std::int32_t count) noexcept {
        // One or two, as mono and stereo pins are: the first and the last
        // buffer are all of them, checked without a loop (whose branches cost
        // a small effect's block a measurable share).
        if (static_cast<std::uint32_t>(count) - 1u < 2u) [[likely]] {
            return (buffers[0] != nullptr) & (buffers[count - 1] != nullptr);
        }
        bool given = true;  // no early exit: the usual answer is yes, and this branches less
        for (std::int32_t c = 0; c < count; ++c) given &= buffers[c] != nullptr;
        return given;
    }
    void run(float** inputs, float** outputs, std::int32_t frames, bool accumulate) noexcept;
    void piece(float** inputs, float** outputs, std::int32_t at, std::int32_t frames, bool accumulate) noexcept;
    void sizeScratch(std::int32_t frames);
    void takeRate(float rate) noexcept;
    Snapshot emptySnapshot(std::size_t programs) const;
    bool readChunk(const unsigned char* data, std::size_t size, bool isPreset, Snapshot& into);
    void apply(const Snapshot& snapshot, bool isPreset) noexcept;
    static bool describePin(std::span<const Pin> pins, std::int32_t index, VstPinProperties* properties) noexcept;

    Description description_;
    std::int32_t programs_;  // programs kept: at least 1
    std::int32_t category_ = kPlugCategEffect;
    std::unique_ptr<std::atomic<float>[]> values_;  // programs_ x parameters, 0..1
    std::vector<std::array<char, kProgramNameMax + 1>> names_;
    std::atomic<std::int32_t> current_{0};  // curProgram, for the audio thread; always in range
    double rate_ = 44100.0;
    EventQueue queue_;
    std::vector<const float*> inputs_;   // per pin, advanced to the piece
    std::vector<float*> outputs_;
    std::int32_t ins_, outs_;            // pins
    std::vector<float> scratch_;         // accumulating render: one block per output
    std::int32_t scratchFrames_ = 0;
    std::vector<unsigned char> chunk_;   // what getChunk hands out
};

// Creates the instance and gives it its identity; what KSTV_PLUGIN's entry
// calls. Null as createEffect answers it (host/entry.h).
template <class PluginClass>
AEffect* createPlugin(audioMasterCallback audioMaster, const Identity& identity) noexcept {
    return createEffect<PluginClass>(audioMaster, [&](PluginClass& p) { p.identify(identity); });
}

}  // namespace kstv

// What kstv_add_plugin said about the module being compiled.
#if defined(KSTV_UNIQUE_ID) && defined(KSTV_CATEGORY) && defined(KSTV_IS_SYNTH)
namespace kstv {
inline constexpr Identity kModuleIdentity{
    fourCharCode(KSTV_UNIQUE_ID[0], KSTV_UNIQUE_ID[1], KSTV_UNIQUE_ID[2], KSTV_UNIQUE_ID[3]), KSTV_CATEGORY,
    KSTV_IS_SYNTH != 0};
}  // namespace kstv
// The module's entry for a kstv::Plugin class, with the identity given to
// kstv_add_plugin. One line in one source file of the module.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define KSTV_PLUGIN(PluginClass)                                                                        \
    static_assert(::kstv::kModuleIdentity.category != kPlugCategUnknown,                                \
                  "give kstv_add_plugin a CATEGORY");                                                   \
    extern "C" KSTV_ENTRY_EXPORT AEffect* VST_CALL VSTPluginMain(audioMasterCallback audioMaster) noexcept { \
        return ::kstv::createPlugin<PluginClass>(audioMaster, ::kstv::kModuleIdentity);                 \
    }                                                                                                   \
    KSTV_ENTRY_ALIASES_                                                                                 \
    KSTV_LV2_ENTRY_(([](AEffect* e) noexcept -> const ::kstv::Description* {                            \
        return &static_cast<const PluginClass*>(static_cast<const ::Effect*>(e->object))->description(); \
    }))                                                                                                 \
    static_assert(true, "a semicolon after the entry line")
// NOLINTEND(bugprone-macro-parentheses)
#endif
