#include "synth/click_schedule.h"

ClickSchedule::ClickSchedule() noexcept
    : arena_(inline_, sizeof inline_, std::pmr::new_delete_resource()), map_(Map::allocator_type(arena_)) {}

ClickSchedule::~ClickSchedule() { clear(); }

void ClickSchedule::clear() noexcept {
    map_.clear();
    arena_.release();
}
