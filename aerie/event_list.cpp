#include <aerie/event_list.h>

#include <cstddef>
#include <cstring>

namespace aerie {

void EventList::addMidi(std::int32_t deltaFrames, unsigned char status, unsigned char data1, unsigned char data2) {
    Record r{};
    r.midi.type = kVstMidiType;
    r.midi.byteSize = static_cast<std::int32_t>(sizeof(VstMidiEvent) - 8);
    r.midi.deltaFrames = deltaFrames;
    r.midi.midiData[0] = static_cast<char>(status);
    r.midi.midiData[1] = static_cast<char>(data1);
    r.midi.midiData[2] = static_cast<char>(data2);
    slots_.push_back(records_.size());
    records_.push_back(r);
}

void EventList::addSysEx(std::int32_t deltaFrames, const unsigned char* bytes, std::size_t size) {
    Record r{};
    r.sysex.type = kVstSysExType;
    r.sysex.byteSize = static_cast<std::int32_t>(sizeof(VstMidiSysexEvent) - 8);
    r.sysex.deltaFrames = deltaFrames;
    r.sysex.dumpBytes = static_cast<std::int32_t>(size);
    // The address is set by get(): the bytes may move until then.
    dumps_.push_back({records_.size(), bytes_.size()});
    if (size > 0) bytes_.insert(bytes_.end(), bytes, bytes + size);
    slots_.push_back(records_.size());
    records_.push_back(r);
}

void EventList::addRaw(const VstEvent& event) {
    Record r{};
    r.event = event;
    slots_.push_back(records_.size());
    records_.push_back(r);
}

void EventList::addNull() { slots_.push_back(kNull); }

void EventList::clear() {
    records_.clear();
    slots_.clear();
    dumps_.clear();
    bytes_.clear();
}

VstEvents* EventList::get(std::int32_t count) {
    for (const Dump& d : dumps_) {
        records_[d.record].sysex.sysexDump = reinterpret_cast<char*>(bytes_.data() + d.offset);
    }
    const std::size_t slots = slots_.size() < 2 ? 2 : slots_.size();
    // The list holds event addresses, so the size of a pointer is meant.
    // NOLINTNEXTLINE(bugprone-sizeof-expression)
    storage_.resize(offsetof(VstEvents, events) + slots * sizeof(VstEvent*));
    auto* list = reinterpret_cast<VstEvents*>(storage_.data());
    list->numEvents = count;
    list->reserved = 0;
    VstEvent** slot = eventSlots(list);
    for (std::size_t i = 0; i < slots_.size(); ++i) slot[i] = slots_[i] == kNull ? nullptr : &records_[slots_[i]].event;
    for (std::size_t i = slots_.size(); i < slots; ++i) slot[i] = nullptr;
    return list;
}

std::vector<const VstEvent*> EventList::entries() {
    VstEvent* const* all = eventSlots(get());
    std::vector<const VstEvent*> out;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (all[i] != nullptr) out.push_back(all[i]);
    }
    return out;
}

}  // namespace aerie
