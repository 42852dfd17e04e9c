// The registrations of one object name in one slice of the registry, with the store of their
// recorded stacks.
#pragma once

#include <quillmark/resource_monitor.h>

#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "callstack/cstack_info.h"
#include "resmonitor/entry_table.h"
#include "resmonitor/registry_snapshot.h"

namespace resmonitor {

// Not locked itself: callers hold the lock of the registry slice that holds the group for every
// operation (except the construction and start_symbols, before anybody else sees the group, and
// the destructor of a group nobody else has seen).
class alignas(64) ResourceGroup {
 public:
  // Creates the group's stack store. `name` is the whole object name the group is registered
  // under.
  explicit ResourceGroup(std::string_view name);
  ~ResourceGroup();
  ResourceGroup(const ResourceGroup&) = delete;
  ResourceGroup& operator=(const ResourceGroup&) = delete;

  // Starts the symbol handler for the store (the first group of a name), or shares the one
  // started for the name already (the same name in another slice). May wait for a resolution in
  // progress, so it is called without the registry's locks.
  void start_symbols(bool first_of_name);

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
  // Around a fork: the stack store's lock, which queries also take outside the registry lock.
  void lock_stacks_for_fork() { stack_info->stacks_mutex.lock(); }
  void unlock_stacks_after_fork() { stack_info->stacks_mutex.unlock(); }

 private:
  EntryTable entries;
  // The whole name the group is registered under.
  const std::string name_;
  // Created with the group and never replaced; its own stacks_mutex guards its content. Shared
  // with the snapshots of queries, which may outlive the group.
  const std::shared_ptr<CStackInfo> stack_info;
};

}  // namespace resmonitor
