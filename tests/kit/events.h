// Event lists as careless hosts send them: the hosting library's
// aerie::EventList for the events, with null entries wherever wanted and
// any count in the list's header. Header-only, for the suites and the fuzz
// targets alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <aerie/aerie.h>

namespace kit {

class RawEventList {
public:
    void addMidi(std::int32_t frame, unsigned char status, unsigned char data1, unsigned char data2) {
        order_.push_back(static_cast<std::ptrdiff_t>(events_.size()));
        events_.addMidi(frame, status, data1, data2);
    }
    void addRaw(const VstEvent& event) {
        order_.push_back(static_cast<std::ptrdiff_t>(events_.size()));
        events_.addRaw(event);
    }
    void addNull() { order_.push_back(-1); }
    std::size_t size() const noexcept { return order_.size(); }
    void clear() {
        events_.clear();
        order_.clear();
    }

    // The list with `count` in its header (the true count by default),
    // valid until this list changes.
    VstEvents* get() { return get(static_cast<std::int32_t>(order_.size())); }
    VstEvents* get(std::int32_t count) {
        VstEvent* const* from = events_.get()->events;  // as many as events, past the declared two
        const std::size_t slots = order_.size() < 2 ? 2 : order_.size();
        storage_.assign(offsetof(VstEvents, events) + slots * sizeof(VstEvent*), 0);
        auto* list = reinterpret_cast<VstEvents*>(storage_.data());
        list->numEvents = count;
        VstEvent** slot = eventSlots(list);  // as many slots as entries
        for (std::size_t i = 0; i < order_.size(); ++i) {
            slot[i] = order_[i] < 0 ? nullptr : from[order_[i]];
        }
        return list;
    }
    // Every entry that is not null, in order.
    std::vector<const VstEvent*> entries() {
        VstEvent* const* from = events_.get()->events;
        std::vector<const VstEvent*> out;
        for (std::ptrdiff_t i : order_) {
            if (i >= 0) out.push_back(from[i]);
        }
        return out;
    }

private:
    aerie::EventList events_;
    std::vector<std::ptrdiff_t> order_;  // index into events_, or -1 for a null entry
    std::vector<unsigned char> storage_;
};

}  // namespace kit
