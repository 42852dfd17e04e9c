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
  void rehash(std::size_t new_capacity);
  void close_gap(std::size_t gap);

  // Sixteen bytes, so that a slice can keep its first group's table in its lock's cache line.
  std::unique_ptr<Slot[]> slots_;
  std::uint32_t mask_ = 0;  // capacity - 1; the capacity is a power of two (or 0)
  std::uint32_t size_ = 0;
};

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
