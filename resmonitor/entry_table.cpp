#include "resmonitor/entry_table.h"

namespace resmonitor {

void EntryTable::grow() {
  // At most three quarters full, so that probes stay short.
  rehash(capacity() == 0 ? kFirstCapacity : capacity() * 2);
}

void EntryTable::shrink() {
  // Shrinking needs an allocation; when there is none, the table stays.
  try {
    rehash(capacity() / 2);
  } catch (const std::bad_alloc&) {
  }
}

void EntryTable::move_back_into(std::size_t gap) {
  // Backward-shift deletion: each later entry of the probe run that may live at the gap moves
  // into it, so that no search stops early at a hole.
  for (std::size_t next = (gap + 1) & mask_; slots_[next].obj != nullptr;
       next = (next + 1) & mask_) {
    const std::size_t home = home_of(slots_[next].obj);
    // Whether `home` lies cyclically in (gap, next]: then the entry must stay where it is.
    const bool stays = gap <= next ? (gap < home && home <= next) : (gap < home || home <= next);
    if (stays) continue;
    slots_[gap].obj = slots_[next].obj;
    slots_[gap].entry = std::move(slots_[next].entry);
    gap = next;
  }
  slots_[gap].obj = nullptr;
  slots_[gap].entry = ResourceEntry();
}

void EntryTable::rehash(std::size_t new_capacity) {
  auto old_slots = std::move(slots_);
  const std::size_t old_capacity = capacity();
  try {
    slots_ = std::make_unique<Slot[]>(new_capacity);
  } catch (...) {
    slots_ = std::move(old_slots);
    throw;
  }
  mask_ = static_cast<std::uint32_t>(new_capacity - 1);
  for (std::size_t i = 0; i < old_capacity; ++i) {
    Slot& old = old_slots[i];
    if (old.obj == nullptr) continue;
    std::size_t j = home_of(old.obj);
    while (slots_[j].obj != nullptr) j = (j + 1) & mask_;
    slots_[j].obj = old.obj;
    slots_[j].entry = std::move(old.entry);
  }
}

void EntryTable::clear() {
  slots_.reset();
  mask_ = 0;
  size_ = 0;
}

}  // namespace resmonitor
