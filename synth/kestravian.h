// Kestravian: MIDI note-ons in, decaying sine clicks out on one output.
//
// Presents itself as a synthesizer with no inputs, one output, no programs
// and no parameters. Each note-on starts a click whose pitch and decay grow
// with the note number and whose amplitude is velocity / 127; one resonator
// sounds them all, so a new click cuts off the one still ringing.
#pragma once

#include <cstdint>

#include "host/effect_ext.h"
#include "synth/click_schedule.h"
#include "synth/resonator.h"

inline constexpr std::int32_t kKestravianId = 0x4B737476;  // 'Kstv'

class Kestravian : public EffectExt {
public:
    // With a callback (the host's case) the record announces 0 inputs, 1
    // output, replacing, synth, 'Kstv'; without one it keeps the bare
    // effect's defaults. Sends nothing to the host.
    explicit Kestravian(audioMasterCallback audioMaster) noexcept;
    ~Kestravian() override;

    // ---- audio ---------------------------------------------------------------
    void setParameter(std::int32_t index, float value) override;
    float getParameter(std::int32_t index) override;
    // Add to / overwrite the first output; further outputs and the inputs are
    // never touched. Both empty the schedule, whatever `sampleFrames` is.
    void process(float** inputs, float** outputs, std::int32_t sampleFrames) override;
    void processReplacing(float** inputs, float** outputs, std::int32_t sampleFrames) override;

    // ---- requests --------------------------------------------------------------
    // No programs, no parameters: these leave the host's buffers as they are.
    void setProgram(std::int32_t program) override;
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;
    void getParamLabel(std::int32_t index, char* label) override;
    void getParamDisplay(std::int32_t index, char* text) override;
    void getParamName(std::int32_t index, char* text) override;
    // Stores the rate and renews rateFactor; a rate that is zero, negative,
    // NaN or absurd (outside about 4.4e-26 to 4.4e34 Hz, infinity included)
    // is stored but leaves rateFactor as it was.
    void setSampleRate(float rate) override;
    void setBlockSize(std::int32_t size) override;
    // Asks the host for MIDI (audioMasterWantMidi 1), every time.
    void resume() override;
    // Note-ons into the schedule; answers 1.
    std::int32_t processEvents(VstEvents* events) override;
    bool getProgramNameIndexed(std::int32_t category, std::int32_t index, char* text) override;
    bool copyProgram(std::int32_t destination) override;
    // Output 0 is "Click 1", active; indices of 1 and more answer false.
    bool getOutputProperties(std::int32_t index, VstPinProperties* properties) override;
    bool getEffectName(char* name) override;       // "Kestravian"
    bool getVendorString(char* text) override;     // "Ulvo"
    bool getProductString(char* text) override;    // "Kestravian"
    std::int32_t getVendorVersion() override;      // 1
    // 1 for "receiveVstEvents" and "receiveVstMidiEvent", -1 for anything else.
    std::int32_t canDo(char* text) override;

    // Silences the resonator: state and coefficient (0, 0).
    void resetResonator() noexcept;

    // Read-only views for tests and tools in the same process.
    float getRateFactor() const noexcept { return rateFactor; }
    const ClickSchedule& getSchedule() const noexcept { return schedule; }
    const Resonator& getResonator() const noexcept { return resonator; }

private:
    enum class Output { Replace, Add, Discard };
    template <Output mode>
    void renderInto(float** outputs, std::int32_t sampleFrames) noexcept;
    template <Output mode>
    void render(float* out, std::int32_t sampleFrames) noexcept;

    float rateFactor;         // 44100 / the sample rate last set; read when a click starts
    ClickSchedule schedule;   // the clicks of the next rendered block
    Resonator resonator;
    CoefficientCache coefficients;  // by note, for rateFactor; filled as notes are first played
};
