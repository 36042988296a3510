#include <aerie/event_list.h>

#include <cstddef>
#include <cstring>

namespace aerie {

void EventList::addMidi(std::int32_t deltaFrames, unsigned char status, unsigned char data1, unsigned char data2) {
    VstMidiEvent m{};
    m.type = kVstMidiType;
    m.byteSize = static_cast<std::int32_t>(sizeof(VstMidiEvent) - 8);
    m.deltaFrames = deltaFrames;
    m.midiData[0] = static_cast<char>(status);
    m.midiData[1] = static_cast<char>(data1);
    m.midiData[2] = static_cast<char>(data2);
    VstEvent e{};
    std::memcpy(&e, &m, sizeof e);
    addRaw(e);
}

void EventList::addRaw(const VstEvent& event) { events_.push_back(event); }

void EventList::clear() { events_.clear(); }

VstEvents* EventList::get() {
    const std::size_t slots = events_.size() < 2 ? 2 : events_.size();
    // The list holds event addresses, so the size of a pointer is meant.
    // NOLINTNEXTLINE(bugprone-sizeof-expression)
    storage_.resize(offsetof(VstEvents, events) + slots * sizeof(VstEvent*));
    auto* list = reinterpret_cast<VstEvents*>(storage_.data());
    list->numEvents = static_cast<std::int32_t>(events_.size());
    list->reserved = 0;
    VstEvent** slot = eventSlots(list);
    for (std::size_t i = 0; i < events_.size(); ++i) slot[i] = &events_[i];
    for (std::size_t i = events_.size(); i < slots; ++i) slot[i] = nullptr;
    return list;
}

}  // namespace aerie
