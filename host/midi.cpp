#include "host/midi.h"

namespace kstv {

bool decodeMidi(const unsigned char bytes[3], Event& out) noexcept {
    const unsigned status = bytes[0];
    if (status < 0x80 || status >= 0xF0) return false;
    out.channel = static_cast<std::uint8_t>(status & 0x0F);
    out.number = static_cast<std::uint8_t>(bytes[1] & 0x7F);
    out.value = static_cast<std::uint8_t>(bytes[2] & 0x7F);
    out.bend = 0.0f;
    switch (status & 0xF0) {
    case 0x80: out.kind = Event::Kind::NoteOff; return true;
    case 0x90: out.kind = out.value == 0 ? Event::Kind::NoteOff : Event::Kind::NoteOn; return true;
    case 0xB0:
        out.kind = out.number == 123 || out.number == 120 ? Event::Kind::AllNotesOff : Event::Kind::Controller;
        return true;
    case 0xC0:
        out.kind = Event::Kind::ProgramChange;
        out.value = 0;
        return true;
    case 0xE0: {
        const int raw = out.number | (out.value << 7);  // 0 .. 16383, 8192 in the middle
        out.kind = Event::Kind::PitchBend;
        out.bend = static_cast<float>(raw - 8192) / (raw >= 8192 ? 8191.0f : 8192.0f);
        return true;
    }
    default: return false;
    }
}

void EventQueue::take(const VstEvents* events) noexcept {
    if (events == nullptr) return;
    for (std::int32_t i = 0; i < events->numEvents; ++i) {
        const VstEvent* e = eventSlots(events)[i];
        if (e == nullptr || e->type != kVstMidiType) continue;
        const auto* midi = reinterpret_cast<const VstMidiEvent*>(e);
        Event decoded;
        const unsigned char bytes[3] = {static_cast<unsigned char>(midi->midiData[0]),
                                        static_cast<unsigned char>(midi->midiData[1]),
                                        static_cast<unsigned char>(midi->midiData[2])};
        if (!decodeMidi(bytes, decoded)) continue;
        decoded.frame = midi->deltaFrames;
        push(decoded);
    }
}

void EventQueue::arrange(std::int32_t frames) noexcept {
    const std::int32_t last = frames > 0 ? frames - 1 : 0;
    for (std::int32_t i = 0; i < count_; ++i) {
        Event& e = events_[i];
        e.frame = e.frame < 0 ? 0 : (e.frame > last ? last : e.frame);
    }
    // Insertion sort: stable, and hosts send their events in order almost always.
    for (std::int32_t i = 1; i < count_; ++i) {
        const Event e = events_[i];
        std::int32_t j = i;
        while (j > 0 && events_[j - 1].frame > e.frame) {
            events_[j] = events_[j - 1];
            --j;
        }
        events_[j] = e;
    }
}

}  // namespace kstv
