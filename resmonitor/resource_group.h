// The registrations of one object name in one slice of the registry.
#pragma once

#include <quillmark/resource_monitor.h>

#include <ctime>
#include <memory>
#include <string_view>

#include "callstack/cstack_info.h"
#include "resmonitor/entry_table.h"
#include "resmonitor/registry_snapshot.h"

namespace resmonitor {

// Not locked itself: callers hold the lock of the registry slice that holds the group for every
// operation (except the construction, before anybody else sees the group, and the destructor of
// a group nobody else has seen).
// Aligned so that groups of different slices never share a cache line.
class alignas(64) ResourceGroup {
 public:
  // `name` is the whole object name the group is registered under; its bytes must stay until the
  // group goes (the registry keeps each name once). `store` is the stack store of the group's
  // slice, shared by the slice's groups, which must outlive the group.
  ResourceGroup(std::string_view name, const std::shared_ptr<CStackInfo>& store);
  ~ResourceGroup();
  ResourceGroup(const ResourceGroup&) = delete;
  ResourceGroup& operator=(const ResourceGroup&) = delete;

  std::string_view name() const { return name_; }

  // Registers `obj`, made at `created`, with the stack captured for it (null: none) unless it is
  // registered already; then the first time and stack stay. Returns 0.
  int add(void* obj, std::time_t created, const CapturedFrames* stack);
  // Takes the registration of `obj` out into `removed` (its stack reference given up), for the
  // caller to free outside the locks; false when there was none.
  bool remove(void* obj, ResourceEntry& removed);
  // The number of registrations.
  std::size_t size() const { return entries.size(); }
  // Copies the group and every entry into `into` (see RegistrySnapshot), which pins the store's
  // pool so that the entries' stacks stay.
  void append_to(RegistrySnapshot& into);
  // The same for the entry of `obj` alone; false when `obj` is not registered.
  bool append_one(void* obj, RegistrySnapshot& into);
  // Drops every entry and its recorded stack.
  void clear();

 private:
  EntryTable entries;
  const std::string_view name_;
  // The slice's store; its own stacks_mutex guards its content.
  const std::shared_ptr<CStackInfo>& stack_info;
};

}  // namespace resmonitor
