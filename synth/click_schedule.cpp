#include "synth/click_schedule.h"

ClickSchedule::ClickSchedule() noexcept
    : arena_(inline_, sizeof inline_, std::pmr::new_delete_resource()), map_(&arena_) {}

ClickSchedule::~ClickSchedule() { clear(); }

void ClickSchedule::offer(std::int32_t frame, ClickEntry click) {
    const auto [it, inserted] = map_.try_emplace(frame, click);
    if (!inserted && it->second.velocity < click.velocity) it->second = click;
}

void ClickSchedule::clear() noexcept {
    map_.clear();
    arena_.release();
}
