// The registrations of one name group, keyed by pointer: an open-addressing table with linear
// probing, so that adding and removing a registration allocates nothing (the table grows and
// shrinks by doubling and halving, rarely). Not ordered: list queries sort what they copy.
// Not locked itself; the registry's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "resmonitor/stack_stores.h"

namespace resmonitor {

// One registration; its pointer is the key and its name that of its group.
struct ResourceEntry {
  std::time_t created = 0;
  // The recorded stack, pooled in the store of the registering thread's lane and shared with
  // every registration of that lane that recorded the same frames; this entry holds one
  // reference. Empty when none was recorded.
  StackRef stack;
};

class EntryTable {
 public:
  EntryTable() = default;
  EntryTable(const EntryTable&) = delete;
  EntryTable& operator=(const EntryTable&) = delete;

  // The entry of `obj`, or null. `obj` is never null.
  ResourceEntry* find(const void* obj);
  // The entry of `obj` and true when it was made now (empty), or the one it had and false.
  // May grow the table, which allocates (std::bad_alloc leaves the table as it was).
  std::pair<ResourceEntry*, bool> insert(void* obj);
  // Moves the entry of `obj` into `out` and removes it; false when `obj` has none.
  bool take(const void* obj, ResourceEntry& out);
  // Calls visit(obj, entry) for each entry, in no particular order. `visit` must not change the
  // table.
  template <typename Visit>
  void for_each(Visit&& visit) const;
  void clear();

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return mask_ == 0 ? 0 : std::size_t{mask_} + 1; }

 private:
  struct Slot {
    void* obj = nullptr;  // null: free
    ResourceEntry entry;
  };
  // Small at first: with many names, most groups hold a registration or two.
  static constexpr std::size_t kFirstCapacity = 2;
  // Never shrunk below this: a group whose few registrations come and go (threads that each
  // register and remove one object at a time) would otherwise allocate at nearly every call.
  static constexpr std::size_t kShrinkFloor = 8;

  std::size_t home_of(const void* obj) const;
  std::size_t slot_of(const void* obj) const;  // its slot, or capacity() when absent
  bool full_for_one_more() const { return (std::size_t{size_} + 1) * 4 > capacity() * 3; }
  void grow();
  void rehash(std::size_t new_capacity);
  void close_gap(std::size_t gap);
  void move_back_into(std::size_t gap);
  void shrink_if_sparse();
  void shrink();

  // Sixteen bytes, so that a slice can keep its first group's table in its lock's cache line.
  std::unique_ptr<Slot[]> slots_;
  std::uint32_t mask_ = 0;  // capacity - 1; the capacity is a power of two (or 0)
  std::uint32_t size_ = 0;
};

// Registering and removing are most of the registry's work: the steps they take each time are
// defined here, where the callers can inline them; growing, shrinking and moving entries back
// are not.

inline std::size_t EntryTable::home_of(const void* obj) const {
  // Fibonacci hashing: objects are aligned, so their low bits carry little; the product's top
  // log2(capacity) bits mix all of them. mask_ is never 0 here; it has 64 - log2 leading zeros.
  const auto key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(obj));
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >>
                                  __builtin_clzll(std::uint64_t{mask_}));
}

inline std::size_t EntryTable::slot_of(const void* obj) const {
  if (size_ == 0) return capacity();
  for (std::size_t i = home_of(obj);; i = (i + 1) & mask_) {
    if (slots_[i].obj == obj) return i;
    if (slots_[i].obj == nullptr) return capacity();
  }
}

inline ResourceEntry* EntryTable::find(const void* obj) {
  const std::size_t slot = slot_of(obj);
  return slot == capacity() ? nullptr : &slots_[slot].entry;
}

inline std::pair<ResourceEntry*, bool> EntryTable::insert(void* obj) {
  // Grown before the search, so that one probe run finds either the entry or the free slot it
  // goes to.
  if (full_for_one_more()) grow();
  std::size_t i = home_of(obj);
  for (; slots_[i].obj != nullptr; i = (i + 1) & mask_) {
    if (slots_[i].obj == obj) return {&slots_[i].entry, false};
  }
  slots_[i].obj = obj;
  ++size_;
  return {&slots_[i].entry, true};
}

inline bool EntryTable::take(const void* obj, ResourceEntry& out) {
  const std::size_t slot = slot_of(obj);
  if (slot == capacity()) return false;
  out = std::move(slots_[slot].entry);
  close_gap(slot);
  --size_;
  shrink_if_sparse();
  return true;
}

inline void EntryTable::close_gap(std::size_t gap) {
  // Mostly the slot after the gap is free: nothing moves back.
  if (slots_[(gap + 1) & mask_].obj != nullptr) {
    move_back_into(gap);
  } else {
    slots_[gap].obj = nullptr;
    slots_[gap].entry = ResourceEntry();
  }
}

inline void EntryTable::shrink_if_sparse() {
  // Below an eighth full, half the room goes back, so a burst of registrations does not keep
  // its memory forever.
  if (capacity() > kShrinkFloor && std::size_t{size_} * 8 < capacity()) shrink();
}

template <typename Visit>
void EntryTable::for_each(Visit&& visit) const {
  // Read once: what `visit` writes could otherwise be taken to change them.
  const Slot* const slots = slots_.get();
  const std::size_t end = capacity();
  for (std::size_t i = 0; i < end; ++i) {
    if (slots[i].obj != nullptr) visit(slots[i].obj, slots[i].entry);
  }
}

}  // namespace resmonitor
