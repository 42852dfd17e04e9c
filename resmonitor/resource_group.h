// The registrations of one object name in one slice of the registry.
#pragma once

#include <quillmark/resource_monitor.h>

#include <ctime>
#include <string_view>

#include "resmonitor/entry_table.h"
#include "resmonitor/registry_snapshot.h"
#include "resmonitor/stack_stores.h"

namespace resmonitor {

// Not locked itself: callers hold the lock of the registry slice that holds the group for every
// operation. The slice places it (see RegistryShard), so that groups of different slices never
// share a cache line.
class ResourceGroup {
 public:
  // `name` is the whole object name the group is registered under; its bytes must stay until the
  // group goes (the registry keeps each name once). `stores` pools the entries' stacks and must
  // outlive the group.
  ResourceGroup(std::string_view name, StackStores& stores);
  ~ResourceGroup();
  ResourceGroup(const ResourceGroup&) = delete;
  ResourceGroup& operator=(const ResourceGroup&) = delete;

  std::string_view name() const { return name_; }

  // Registers `obj`, made at `created`, with its recorded stack (empty: none) unless it is
  // registered already; then the first time and stack stay. True when registered now: the entry
  // then holds the caller's reference on `stack`, which otherwise stays the caller's.
  bool add(void* obj, std::time_t created, StackRef stack);
  // Takes the registration of `obj` out into `removed`, whose reference on its stack passes to
  // the caller (to give up outside the slice's lock); false when there was none.
  bool remove(void* obj, ResourceEntry& removed);
  // The number of registrations.
  std::size_t size() const { return entries.size(); }
  // Copies the group and every entry into `into` (see RegistrySnapshot), which must have pinned
  // every store (pin_all) before the registry was locked, so that the entries' stacks stay.
  void append_to(RegistrySnapshot& into);
  // The same for the entry of `obj` alone, pinning its stack's store; false when `obj` is not
  // registered.
  bool append_one(void* obj, RegistrySnapshot& into);
  // Drops every entry and its recorded stack.
  void clear();

 private:
  EntryTable entries;
  const std::string_view name_;
  StackStores& stores_;
};

inline bool ResourceGroup::add(void* obj, std::time_t created, StackRef stack) {
  const auto [entry, added] = entries.insert(obj);
  if (!added) return false;
  entry->created = created;
  entry->stack = stack;
  return true;
}

inline bool ResourceGroup::remove(void* obj, ResourceEntry& removed) {
  return entries.take(obj, removed);
}

}  // namespace resmonitor
