// The base effect: the object behind an AEffect record.
//
// A derived effect gives its identity (the constructor arguments, the record
// setters) and `process`; every other operation has a default that does
// nothing harmful, and the host's requests 0 to 24 arrive as calls of the
// virtual operations below. Requests 25 and up are EffectExt's
// (host/effect_ext.h).
//
// Everything the host can reach goes through the five entry functions the
// constructor stores in the record; they catch every exception, so none
// crosses into the host.
#pragma once

#include <cstdint>
#include <memory>

#include "host/abi/aeffect.h"
#include "host/abi/opcodes.h"

// An editor an effect may own. No effect of this project attaches one; the
// hook exists so that a derived effect can, and without one every editor
// request answers 0.
class EffectEditor {
public:
    virtual ~EffectEditor() = default;
    // effEditGetRect: `rect` is where the host wants the rectangle's address.
    virtual std::int32_t getRect(void* rect) = 0;
    // effEditOpen: `parent` is the host's window.
    virtual std::int32_t openEditor(void* parent) = 0;
    virtual void closeEditor() = 0;  // effEditClose
    virtual void idleEditor() = 0;   // effEditIdle
};

// Who calls each operation, on which thread and in which state, and whether
// an override may allocate, stands in brackets where it is declared (for a
// group of operations, at the group's heading); the default answer follows
// the operation or stands in its comment:
//   [audio thread; no lock, no allocation]  the host's real-time thread, one
//       call at a time per instance; a lock or an allocation there can make
//       the host drop out
//   [any thread; no lock, no allocation]  hosts call it from the audio thread
//       as well as from their user interface
//   [main thread; suspended]  the host's user-interface thread, only while the
//       effect is suspended (before the first resume, or after effMainsChanged
//       0); may allocate
//   [main thread]  the user-interface thread, suspended or running; may
//       allocate, but must not wait for the audio thread, which may be
//       rendering at the same time
//   [constructor]  the derived effect's own constructor, before the host has
//       the record; hosts read these fields once and do not expect changes;
//       may allocate
//   [caller's thread]  host services: they call the host at once, on the thread
//       the effect calls them from, and allocate nothing themselves; from the
//       audio thread call only those whose note allows it (the host may
//       block or allocate while it answers)
// The defaults allocate nothing and take no lock.
class Effect {
public:
    // Fills the record (cleared first): magic, the five entries, the counts
    // given here, 1 input, 2 outputs, no flags, 'NoEf', version 1, ioRatio
    // 1.0. Sends nothing to the host; `audioMaster` may be null, and then
    // every host service answers its default without calling anything.
    // [main thread, from the module's entry]
    Effect(audioMasterCallback audioMaster, std::int32_t numPrograms, std::int32_t numParams) noexcept;
    // Destroys the attached editor, if any. Reached only through effClose.
    // [main thread; suspended]
    virtual ~Effect();

    Effect(const Effect&) = delete;
    Effect& operator=(const Effect&) = delete;

    // ---- parameters and audio (record entries) ----------------------------
    // Default: nothing / 0.0. [any thread; no lock, no allocation]
    virtual void setParameter(std::int32_t index, float value);
    virtual float getParameter(std::int32_t index);
    // Takes the value through setParameter, then tells the host
    // (audioMasterAutomate) when a callback is set. [main thread: a user's
    // change in the effect's own interface]
    virtual void automateParameter(std::int32_t index, float value);
    // Adds `sampleFrames` frames to the output buffers. Every effect renders.
    // [audio thread; no lock, no allocation]
    virtual void process(float** inputs, float** outputs, std::int32_t sampleFrames) = 0;
    // Overwrites the output buffers; default: nothing.
    // [audio thread; no lock, no allocation]
    virtual void processReplacing(float** inputs, float** outputs, std::int32_t sampleFrames);

    // ---- requests ----------------------------------------------------------
    // Answers requests 0 to 24 by calling one operation each; 0 for any other.
    // [the thread of the request it serves]
    virtual VstIntPtr dispatcher(std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr,
                                 float opt);
    virtual void open();   // effOpen, once after construction [main thread; suspended]
    virtual void close();  // effClose, just before destruction [main thread; suspended]
    virtual std::int32_t getProgram();              // answers curProgram [main thread]
    // Reached only for program < numPrograms (no lower bound). [main thread]
    virtual void setProgram(std::int32_t program);
    // The text defaults write an empty string; with a null buffer, nothing.
    // [main thread]
    // Text limits, in characters (the host's buffer holds one more, for the
    // NUL; hosts give no length): a program name 23 (buffers of 24; some
    // hosts give 25), a parameter's name, unit and display text 8 each.
    virtual void setProgramName(char* name);   // the host's text, to keep
    virtual void getProgramName(char* name);   // 23
    virtual void getParamLabel(std::int32_t index, char* label);  // the unit, 8
    virtual void getParamDisplay(std::int32_t index, char* text); // 8
    virtual void getParamName(std::int32_t index, char* text);    // 8
    // A level from -1.0 to 1.0; default 0.0. [main thread, on its meter timer]
    virtual float getVu();
    // Chunks: default 0, data untouched. The host saves a project or preset
    // with getChunk and restores one with setChunk. [main thread]
    virtual std::int32_t getChunk(void* data, bool isPreset);
    virtual std::int32_t setChunk(void* data, std::int32_t byteSize, bool isPreset);
    virtual void setSampleRate(float rate);        // stores sampleRate [main thread; suspended]
    virtual void setBlockSize(std::int32_t size);  // stores blockSize [main thread; suspended]
    // effMainsChanged 0; default: nothing. [main thread; running, then suspended]
    virtual void suspend();
    // effMainsChanged != 0; default: nothing. [main thread; suspended, then
    // running: rendering may start as soon as it returns]
    virtual void resume();

    // ---- the record's identity and capabilities ---------------------------
    // [constructor]
    virtual void setUniqueId(std::int32_t id);
    virtual void setNumInputs(std::int32_t count);
    virtual void setNumOutputs(std::int32_t count);
    // Each flag setter sets (true) or clears (false) its one bit. [constructor]
    virtual void setHasVu(bool state);
    virtual void setHasClip(bool state);
    virtual void setCanMono(bool state);
    virtual void setCanReplacing(bool state);
    virtual void setProgramChunks(bool state);
    virtual void setRealQualities(std::int32_t qualities);
    virtual void setOffQualities(std::int32_t qualities);
    virtual void setInitialDelay(std::int32_t frames);
    // The fields as the host last set them. [any thread; no lock, no allocation]
    virtual float getSampleRate();
    virtual std::int32_t getBlockSize();

    // ---- host services [caller's thread] -----------------------------------
    virtual std::int32_t hostVersion();    // the host's version; 1 when it answers 0 or is absent
    virtual std::int32_t hostCurrentId();  // 0 without a host
    virtual std::int32_t hostIdle();       // 0 without a host
    // True when the pin is connected (the host answers 0), and without a host.
    virtual bool hostInputConnected(std::int32_t input);
    virtual bool hostOutputConnected(std::int32_t output);

    // ---- display formatting (8 characters and a NUL into `text`) -----------
    // Pure conversions, for the display requests. [any thread; no lock, no allocation]
    // 20 log10(value) through formatFloat, or "  -oo   " for 0, less or NaN.
    virtual void formatDecibels(float value, char* text);
    // sample rate / samples through formatFloat; 0 for a period of 0 or NaN.
    virtual void formatHertz(float samples, char* text);
    // samples * 1000 / sample rate through formatFloat.
    virtual void formatMilliseconds(float samples, char* text);
    // Digits and a point, fraction cut not rounded ("3.141590"), or " Huge!  ".
    virtual void formatFloat(float value, char* text);
    // "%7d", or " Huge!  " when it would not fit 8 characters.
    virtual void formatInteger(std::int32_t value, char* text);

    // The record handed to the host; it lives and dies with this object.
    AEffect* getAeffect() noexcept { return &record; }

protected:
    // One request to the host: the record first, then the arguments. Answers
    // 0 without a callback (callers that need another default test first).
    VstIntPtr callHost(std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0,
                       void* ptr = nullptr, float opt = 0.0f);
    void setFlag(std::int32_t bit, bool state) noexcept;

    float sampleRate;                       // Hz, as last set by the host; 44100 at first
    std::unique_ptr<EffectEditor> editor;   // null: no editor
    audioMasterCallback audioMaster;        // null: host services answer defaults
    std::int32_t numPrograms;
    std::int32_t numParams;
    std::int32_t curProgram;                // 0 at first
    std::int32_t blockSize;                 // largest render call announced; 1024 at first
    AEffect record;
};

// The record identifier a bare effect carries until it sets its own.
inline constexpr std::int32_t kDefaultUniqueId = 0x4E6F4566;  // 'NoEf'

// Copies `text` with its NUL into a host buffer; does nothing for a null buffer.
void copyHostText(char* dst, const char* text) noexcept;
