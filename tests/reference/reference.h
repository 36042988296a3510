// The synthesizer written the plainest way, for the tests and the benchmarks
// to compare against bit for bit: a map per block, the standard library's
// complex numbers and modulus, one frame at a time. It shares no code with
// the plug-in, so a fault in either one shows up as a difference.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "host/abi/events.h"

namespace reference {

class Synth {
public:
    explicit Synth(float rate = 44100.0f) : rateFactor_(static_cast<float>(44100.0 / rate)) {}
    // Clicks started from now on use `factor` (44100 / the sample rate); a
    // click that rings keeps its own, as in the plug-in.
    void setRateFactor(float factor) { rateFactor_ = factor; }
    void noteOn(std::int32_t frame, int note, int velocity);
    std::vector<float> render(std::int32_t frames);

private:
    float rateFactor_;
    std::map<std::int32_t, std::pair<int, int>> schedule_;  // frame -> (velocity, note)
    std::complex<float> state_{0.0f, 0.0f};
    std::complex<float> coefficient_{0.0f, 0.0f};
};

// A host's event list of note-ons with room for `capacity` of them, built
// once and handed to the plug-in as many times as wanted: handing it over
// allocates nothing.
class NoteOnList {
public:
    explicit NoteOnList(std::size_t capacity);
    NoteOnList(const NoteOnList&) = delete;
    NoteOnList& operator=(const NoteOnList&) = delete;

    void add(std::int32_t frame, int note, int velocity);
    void clear() noexcept;
    std::size_t size() const noexcept { return midi_.size(); }
    VstEvents* get() noexcept { return reinterpret_cast<VstEvents*>(record_.data()); }

private:
    std::vector<VstMidiEvent> midi_;
    std::vector<unsigned char> record_;  // count, reserved, then one address per event
};

}  // namespace reference
