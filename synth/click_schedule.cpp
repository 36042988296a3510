#include "synth/click_schedule.h"

ClickSchedule::ClickSchedule() noexcept
    : arena_(inline_, sizeof inline_, std::pmr::new_delete_resource()), map_(Map::allocator_type(arena_)) {}

ClickSchedule::~ClickSchedule() { clear(); }

void ClickSchedule::offer(std::int32_t frame, ClickEntry click) {
    // Hosts deliver a block's events in time order, so a new frame usually
    // lies after every entry; with the end as the hint, such a frame goes in
    // without a search (any other is searched for as usual).
    const std::size_t before = map_.size();
    const auto it = map_.try_emplace(map_.end(), frame, click);
    if (map_.size() == before && it->second.velocity < click.velocity) it->second = click;
}

void ClickSchedule::clear() noexcept {
    map_.clear();
    arena_.release();
}
