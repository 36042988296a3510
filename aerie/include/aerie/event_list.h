// MIDI events in the interface's list layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/abi/events.h"

namespace aerie {

// A block's worth of MIDI events in the interface's list layout. The list
// owns its events; `get()` stays valid until the list changes. Once it has
// held as many events as a block brings, clearing and refilling it does not
// allocate.
class EventList {
public:
    void addMidi(std::int32_t deltaFrames, unsigned char status, unsigned char data1, unsigned char data2);
    void addNoteOn(std::int32_t deltaFrames, int note, int velocity, int channel = 0) {
        addMidi(deltaFrames, static_cast<unsigned char>(0x90 | (channel & 15)), static_cast<unsigned char>(note),
                static_cast<unsigned char>(velocity));
    }
    // Any event record, for lists that mix types.
    void addRaw(const VstEvent& event);
    void clear();
    std::size_t size() const noexcept { return events_.size(); }
    VstEvents* get();

private:
    std::vector<VstEvent> events_;
    std::vector<unsigned char> storage_;
};

}  // namespace aerie
