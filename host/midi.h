// Events at exact frames: the MIDI messages of a VstEvents list decoded into
// typed events, kept until the next render call and handed out in frame
// order, so that a block can be rendered in pieces between them.
#pragma once

#include <cstdint>

#include "host/abi/events.h"

namespace kstv {

struct Event {
    enum class Kind : std::uint8_t {
        NoteOn,         // number: note, value: velocity 1..127
        NoteOff,        // number: note, value: release velocity (a note-on of velocity 0 comes as one)
        Controller,     // number: controller, value: 0..127
        PitchBend,      // bend: -1 .. +1 (0 in the middle)
        ProgramChange,  // number: program
        AllNotesOff,    // controller 123 (all notes off) or 120 (all sound off)
    };
    Kind kind = Kind::NoteOn;
    std::uint8_t channel = 0;  // 0..15
    std::uint8_t number = 0;
    std::uint8_t value = 0;
    std::int32_t frame = 0;    // within the block being rendered
    float bend = 0.0f;
};

// Decodes one MIDI message; false for anything not listed above (system
// messages, aftertouch, running status).
bool decodeMidi(const unsigned char bytes[3], Event& out) noexcept;

// The events of the next block. `take` copies them in (the host's list is
// valid during its call only), `arrange` sorts them by frame, stably, and
// places those outside the block on its first or last frame.
// Capacity is fixed: events beyond it are dropped. [audio thread; no lock,
// no allocation]
class EventQueue {
public:
    static constexpr std::int32_t kCapacity = 512;

    void take(const VstEvents* events) noexcept;
    void push(const Event& e) noexcept {
        if (count_ < kCapacity) events_[count_++] = e;
    }
    // Sorts by frame and clamps frames into 0 .. frames-1 (0 for a block of 0 frames).
    void arrange(std::int32_t frames) noexcept;
    void clear() noexcept { count_ = 0; }
    std::int32_t size() const noexcept { return count_; }
    const Event& operator[](std::int32_t i) const noexcept { return events_[i]; }

private:
    Event events_[kCapacity];
    std::int32_t count_ = 0;
};

}  // namespace kstv
