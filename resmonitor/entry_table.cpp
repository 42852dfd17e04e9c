#include "resmonitor/entry_table.h"

namespace resmonitor {

std::size_t EntryTable::home_of(const void* obj) const {
  // Fibonacci hashing: objects are aligned, so their low bits carry little; the product's top
  // log2(capacity) bits mix all of them. mask_ is never 0 here; it has 64 - log2 leading zeros.
  const auto key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(obj));
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >>
                                  __builtin_clzll(std::uint64_t{mask_}));
}

std::size_t EntryTable::slot_of(const void* obj) const {
  if (size_ == 0) return capacity();
  for (std::size_t i = home_of(obj);; i = (i + 1) & mask_) {
    if (slots_[i].obj == obj) return i;
    if (slots_[i].obj == nullptr) return capacity();
  }
}

ResourceEntry* EntryTable::find(const void* obj) {
  const std::size_t slot = slot_of(obj);
  return slot == capacity() ? nullptr : &slots_[slot].entry;
}

std::pair<ResourceEntry*, bool> EntryTable::insert(void* obj) {
  // At most three quarters full, so that probes stay short. Grown before the search, so that
  // one probe run finds either the entry or the free slot it goes to.
  if ((std::size_t{size_} + 1) * 4 > capacity() * 3)
    rehash(capacity() == 0 ? kFirstCapacity : capacity() * 2);
  std::size_t i = home_of(obj);
  for (; slots_[i].obj != nullptr; i = (i + 1) & mask_) {
    if (slots_[i].obj == obj) return {&slots_[i].entry, false};
  }
  slots_[i].obj = obj;
  ++size_;
  return {&slots_[i].entry, true};
}

bool EntryTable::take(const void* obj, ResourceEntry& out) {
  const std::size_t slot = slot_of(obj);
  if (slot == capacity()) return false;
  out = std::move(slots_[slot].entry);
  close_gap(slot);
  --size_;
  // Below an eighth full, half the room goes back, so a burst of registrations does not keep
  // its memory forever. Shrinking needs an allocation; when there is none, the table stays.
  if (capacity() > kShrinkFloor && std::size_t{size_} * 8 < capacity()) {
    try {
      rehash(capacity() / 2);
    } catch (const std::bad_alloc&) {
    }
  }
  return true;
}

void EntryTable::close_gap(std::size_t gap) {
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
