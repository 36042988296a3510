// The clicks to start in the next rendered block, one per frame offset.
//
// Filled by event intake, consumed and emptied by rendering once per block.
// The map's nodes come from an arena the schedule owns: a fixed buffer for
// the common case and, beyond it, blocks from the global allocator that are
// returned when the schedule is emptied. So intake and rendering of ordinary
// blocks never call the global allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory_resource>

struct ClickEntry {
    std::int16_t velocity;  // 0..127, the note-on's third byte masked to 7 bits
    std::int16_t note;      // 0..127, the note-on's second byte masked to 7 bits
};

// The standard monotonic arena, asked directly: a node is taken with an
// inline pointer bump instead of a virtual call, and giving one back is
// nothing at all (the arena hands everything back at once in release()).
class ScheduleArena final : public std::pmr::monotonic_buffer_resource {
public:
    using monotonic_buffer_resource::monotonic_buffer_resource;
    void* take(std::size_t bytes, std::size_t alignment) {
        return monotonic_buffer_resource::do_allocate(bytes, alignment);
    }
};

template <typename T>
class ScheduleAllocator {
public:
    using value_type = T;
    explicit ScheduleAllocator(ScheduleArena& arena) noexcept : arena_(&arena) {}
    template <typename U>
    ScheduleAllocator(const ScheduleAllocator<U>& other) noexcept : arena_(other.arena_) {}

    T* allocate(std::size_t n) { return static_cast<T*>(arena_->take(n * sizeof(T), alignof(T))); }
    void deallocate(T*, std::size_t) noexcept {}

    template <typename U>
    bool operator==(const ScheduleAllocator<U>& other) const noexcept { return arena_ == other.arena_; }

private:
    template <typename U>
    friend class ScheduleAllocator;
    ScheduleArena* arena_;
};

class ClickSchedule {
public:
    using Map = std::map<std::int32_t, ClickEntry, std::less<std::int32_t>,
                         ScheduleAllocator<std::pair<const std::int32_t, ClickEntry>>>;
    using const_iterator = Map::const_iterator;

    ClickSchedule() noexcept;
    ~ClickSchedule();
    ClickSchedule(const ClickSchedule&) = delete;
    ClickSchedule& operator=(const ClickSchedule&) = delete;

    // A note-on for `frame`: kept when the frame has no entry yet or holds a
    // softer one; an equal or louder entry stays as it is (the first of equals
    // wins). Throws std::bad_alloc when no memory is left for a new entry.
    void offer(std::int32_t frame, ClickEntry click) {
        // Hosts deliver a block's events in time order, so a new frame
        // usually lies after every entry; with the end as the hint, such a
        // frame goes in without a search (any other is searched for as
        // usual). insert with a hint looks the frame up once, try_emplace
        // with a hint twice.
        const std::size_t before = map_.size();
        const auto it = map_.insert(map_.end(), {frame, click});
        if (map_.size() == before && it->second.velocity < click.velocity) it->second = click;
    }

    // Entries in ascending order of frame offset, negative offsets first.
    const_iterator begin() const noexcept { return map_.begin(); }
    const_iterator end() const noexcept { return map_.end(); }
    const_iterator find(std::int32_t frame) const { return map_.find(frame); }
    std::size_t size() const noexcept { return map_.size(); }
    bool empty() const noexcept { return map_.empty(); }

    // Removes every entry and hands back any memory beyond the fixed buffer.
    void clear() noexcept;

    // Entries that fit the fixed buffer before the global allocator is asked.
    static constexpr std::size_t kInlineEntries = 512;

private:
    // A red-black tree node holds three links, a colour and the value.
    static constexpr std::size_t kNodeBytes = 4 * sizeof(void*) + sizeof(std::int32_t) + sizeof(ClickEntry);

    alignas(alignof(void*)) std::byte inline_[kInlineEntries * kNodeBytes];
    ScheduleArena arena_;
    Map map_;
};
