// One slice of the resource registry: the groups of the objects whose pointers fall to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "callstack/cstack_info.h"
#include "resmonitor/owned_mutex.h"
#include "resmonitor/resource_group.h"

namespace resmonitor {

// Threads that register different objects mostly work in different slices, each under its own
// lock. Everything but `mutex` and `store` is guarded by it. Two cache lines apart, as processors
// fetch lines in pairs: neighbouring slices' locks must not travel together.
//
// A host may use a hundred thousand names, each of whose objects falls to most slices: a slice
// therefore keeps its groups in one small open-addressing table keyed by a hash of the name, and
// its groups share the slice's stack store, so that a name costs a slice a few dozen bytes
// beyond its entries.
class alignas(128) RegistryShard {
 public:
  RegistryShard();
  ~RegistryShard();
  RegistryShard(const RegistryShard&) = delete;
  RegistryShard& operator=(const RegistryShard&) = delete;

  // Never held while a stack is captured or resolved. It knows its owner, so that an exit on the
  // thread holding it never waits for it.
  OwnedMutex mutex;
  // The recorded stacks of every group of the slice (equal stacks of two names are pooled once;
  // their text holds no name). Made with the slice and never replaced; its own stacks_mutex
  // guards its content. Shared with the snapshots of queries.
  const std::shared_ptr<CStackInfo> store;

  // The group of the whole name `name`, or null. The group found last is checked first, against
  // the C string itself: a host registers under a few names over and over.
  ResourceGroup* find(const char* name) {
    if (last_group_ != nullptr && names_match(last_group_->name(), name)) return last_group_;
    return find(std::string_view(name));
  }
  ResourceGroup* find(std::string_view name);
  // Takes `group` in; no group of its name may be in the slice. May allocate (std::bad_alloc
  // leaves the slice as it was and `group` with the caller).
  ResourceGroup& insert(std::unique_ptr<ResourceGroup>& group);
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
  static constexpr std::size_t kMinimumCapacity = 4;

  // Whether the C string `name` is `key`, reading no byte of `name` past its terminator.
  static bool names_match(std::string_view key, const char* name) {
    return std::strncmp(name, key.data(), key.size()) == 0 && name[key.size()] == '\0';
  }
  std::size_t home_of(std::uint64_t hash) const { return hash & (capacity_ - 1); }
  void grow();

  std::unique_ptr<Slot[]> slots_;
  std::size_t capacity_ = 0;  // a power of two, or 0
  std::size_t size_ = 0;
  ResourceGroup* last_group_ = nullptr;
};

}  // namespace resmonitor
