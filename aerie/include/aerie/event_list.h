// Events in the interface's list layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/abi/events.h"

namespace aerie {

// A block's worth of events in the interface's list layout: short MIDI
// messages, system-exclusive ones and records of any type, in the order
// added. The list owns its events and a copy of every system-exclusive
// message; `get()` stays valid until the list changes. Once it has held as
// many events (and message bytes) as a block brings, clearing and refilling
// it does not allocate: the calls tagged [audio thread, once warm] then take
// no lock and allocate nothing. [one thread at a time]
//
// For testing how plug-ins stand careless hosts, a list may also hold null
// entries, and `get(count)` puts any count in the list's header.
class EventList {
public:
    // [audio thread, once warm]
    void addMidi(std::int32_t deltaFrames, unsigned char status, unsigned char data1, unsigned char data2);
    void addNoteOn(std::int32_t deltaFrames, int note, int velocity, int channel = 0) {
        addMidi(deltaFrames, static_cast<unsigned char>(0x90 | (channel & 15)), static_cast<unsigned char>(note),
                static_cast<unsigned char>(velocity));
    }
    // A system-exclusive message (F0 ... F7, `size` bytes), copied into the
    // list. [audio thread, once warm]
    void addSysEx(std::int32_t deltaFrames, const unsigned char* bytes, std::size_t size);
    // Any event record, for lists that mix types. [audio thread, once warm]
    void addRaw(const VstEvent& event);
    // A null entry. [audio thread, once warm]
    void addNull();
    void clear();  // keeps the room [audio thread]
    // Entries, null ones included.
    std::size_t size() const noexcept { return slots_.size(); }
    // The list with its true count. [audio thread, once warm]
    VstEvents* get() { return get(static_cast<std::int32_t>(slots_.size())); }
    // The list with `count` in its header, whatever it holds. [audio thread,
    // once warm]
    VstEvents* get(std::int32_t count);
    // Every entry that is not null, in order; valid until the list changes.
    // [allocates]
    std::vector<const VstEvent*> entries();

private:
    // Room for any record the list holds.
    union Record {
        VstEvent event;
        VstMidiEvent midi;
        VstMidiSysexEvent sysex;
    };
    static constexpr std::size_t kNull = ~std::size_t{0};
    struct Dump {
        std::size_t record;  // into records_
        std::size_t offset;  // into bytes_
    };
    std::vector<Record> records_;
    std::vector<std::size_t> slots_;  // per entry: its record, or kNull
    std::vector<Dump> dumps_;
    std::vector<unsigned char> bytes_;  // the system-exclusive messages, one after the other
    std::vector<unsigned char> storage_;
};

}  // namespace aerie
