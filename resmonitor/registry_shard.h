// One slice of the resource registry: the groups of the objects whose pointers fall to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "resmonitor/name_match.h"
#include "resmonitor/owned_mutex.h"
#include "resmonitor/resource_group.h"
#include "resmonitor/stack_stores.h"

namespace resmonitor {

// Threads that register different objects mostly work in different slices, each under its own
// lock. Everything but `mutex` is guarded by it. Two cache lines apart, as processors fetch lines
// in pairs: neighbouring slices' locks must not travel together.
//
// Threads whose objects lie side by side in no pattern (one array handed out in any order) work
// in the same slices, mostly under one name: a slice's first group lies in the slice itself, its
// table's header in the lock's cache line, so that a registration there finds the lock and the
// table in one line (and the table's slots) rather than in three.
//
// A host may use a hundred thousand names, each of whose objects falls to most slices: a slice
// therefore keeps its groups in one small open-addressing table keyed by a hash of the name, so
// that a name costs a slice a few dozen bytes beyond its entries.
class alignas(128) RegistryShard {
 public:
  RegistryShard() = default;
  ~RegistryShard();
  RegistryShard(const RegistryShard&) = delete;
  RegistryShard& operator=(const RegistryShard&) = delete;

  // Never held while a stack is captured, pooled or resolved. It knows its owner, so that an exit
  // on the thread holding it never waits for it.
  OwnedMutex mutex;

  // The group of the whole name `name`, or null. The group found last is checked first, against
  // the C string itself: a host registers under a few names over and over.
  ResourceGroup* find(const char* name) {
    if (last_group_ != nullptr && name_matches(last_group_->name(), name)) return last_group_;
    return find(std::string_view(name));
  }
  ResourceGroup* find(std::string_view name);
  // Makes the group of `name`, whose bytes must stay until clear() and be padded as name_matches
  // needs (a NameStore copy is); the slice must have none. May allocate (std::bad_alloc leaves
  // the slice as it was).
  ResourceGroup& emplace(std::string_view name, StackStores& stores);
  // Drops every group, each with its entries' stacks.
  void clear();
  // Calls visit(group) for every group, in no particular order.
  template <typename Visit>
  void for_each_group(Visit&& visit) const {
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (slots_[i].group != nullptr) visit(*slots_[i].group);
    }
  }
  // The hash a group of `name` is found by.
  static std::uint64_t hash_of(std::string_view name);

 private:
  struct Slot {
    std::uint64_t hash = 0;
    ResourceGroup* group = nullptr;  // owned; null: free
  };
  // Every group but the slice's first lies in a cache line of its own, in blocks of the slice's
  // (groups leave only all together, in clear()): 64 bytes a group, and no line shared with
  // another slice's data.
  struct alignas(64) GroupCell {
    unsigned char bytes[64];
  };
  static_assert(sizeof(ResourceGroup) <= sizeof(GroupCell), "a group fits its cell");
  static constexpr std::size_t kCellsPerBlock = 64;
  static constexpr std::size_t kMinimumCapacity = 4;

  std::size_t home_of(std::uint64_t hash) const { return hash & (capacity_ - 1); }
  void grow();
  const ResourceGroup* first_group() const {
    return std::launder(reinterpret_cast<const ResourceGroup*>(first_group_));
  }
  ResourceGroup* make_group(std::string_view name, StackStores& stores);
  void destroy(ResourceGroup* group);

  // Together with the lock, in the first cache line.
  std::unique_ptr<Slot[]> slots_;
  std::uint32_t capacity_ = 0;  // a power of two, or 0
  std::uint32_t size_ = 0;
  ResourceGroup* last_group_ = nullptr;
  // The storage of the slice's first group, constructed while first_group_used_; its table's
  // header ends the first cache line.
  alignas(ResourceGroup) unsigned char first_group_[sizeof(ResourceGroup)];
  bool first_group_used_ = false;
  std::vector<std::unique_ptr<GroupCell[]>> group_blocks_;
  std::size_t cells_left_ = 0;  // the unused cells at the end of the last block
};

}  // namespace resmonitor
