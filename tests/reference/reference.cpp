#include "tests/reference/reference.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

namespace reference {

void Synth::noteOn(std::int32_t frame, int note, int velocity) {
    auto it = schedule_.find(frame);
    if (it == schedule_.end() || it->second.first < velocity) schedule_[frame] = {velocity, note};
}

std::vector<float> Synth::render(std::int32_t frames) {
    std::vector<float> out;
    auto next = schedule_.begin();
    for (std::int32_t i = 0; i < frames; ++i) {
        if (next != schedule_.end() && i >= next->first) {
            const auto [velocity, note] = next->second;
            ++next;
            const float x = static_cast<float>((note + 1.0f) * static_cast<double>(rateFactor_));
            const std::complex<float> z = std::complex<float>(x, 0.0f) * std::complex<float>(-0.001f, 0.01f);
            const double e = std::exp(static_cast<double>(z.real()));
            coefficient_ = {static_cast<float>(e * static_cast<float>(std::cos(static_cast<double>(z.imag())))),
                            static_cast<float>(e * static_cast<float>(std::sin(static_cast<double>(z.imag()))))};
            state_ = {static_cast<float>(velocity * (1.0 / 127.0)), 0.0f};
        }
        out.push_back(state_.imag());
        const double sr = state_.real(), si = state_.imag();
        const double cr = coefficient_.real(), ci = coefficient_.imag();
        state_ = {static_cast<float>(sr * cr - si * ci), static_cast<float>(sr * ci + si * cr)};
        const float modulus = std::abs(state_);
        if (std::isnan(modulus) || modulus < 0.00001) state_ = {0.0f, 0.0f};
    }
    schedule_.clear();
    return out;
}

NoteOnList::NoteOnList(std::size_t capacity)
    : record_(offsetof(VstEvents, events) + (capacity > 2 ? capacity : 2) * sizeof(VstEvent*)) {
    midi_.reserve(capacity);
    clear();
}

void NoteOnList::add(std::int32_t frame, int note, int velocity) {
    if (midi_.size() == midi_.capacity()) throw std::length_error("NoteOnList is full");
    VstMidiEvent e{};
    e.type = kVstMidiType;
    e.byteSize = static_cast<std::int32_t>(sizeof(VstMidiEvent) - 8);
    e.deltaFrames = frame;
    e.midiData[0] = static_cast<char>(0x90);
    e.midiData[1] = static_cast<char>(note & 0x7F);
    e.midiData[2] = static_cast<char>(velocity & 0x7F);
    midi_.push_back(e);  // within the reserved capacity: earlier addresses stay valid
    VstEvents* list = get();
    list->numEvents = static_cast<std::int32_t>(midi_.size());
    VstEvent* address = reinterpret_cast<VstEvent*>(&midi_.back());
    std::memcpy(record_.data() + offsetof(VstEvents, events) + (midi_.size() - 1) * sizeof address, &address,
                sizeof address);
}

void NoteOnList::clear() noexcept {
    midi_.clear();
    get()->numEvents = 0;
    get()->reserved = 0;
}

}  // namespace reference
