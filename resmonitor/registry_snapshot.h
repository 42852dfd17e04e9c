// What a query or a report reads of the registry. The registry's locks are held only while the
// entries are copied in: an object pointer, a time and a stack reference each, into one array
// reserved up front, so the copy allocates once per group at most and never per entry. Names are
// ordered, entries sorted and stacks resolved to text afterwards, with no registry lock held: a
// host thread registering meanwhile waits for the copy alone, however large the registry is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "callstack/cstack_info.h"

namespace resmonitor {

class RegistrySnapshot {
 public:
  struct Entry {
    void* obj;
    std::time_t created;
    PooledStack* stack;   // null when none was recorded; else one reference held
    std::uint32_t group;  // index into groups()
  };
  // One group of one registry slice: its name and its stack store. The same name has a group in
  // each slice that holds one of its objects.
  struct Group {
    std::string name;
    std::shared_ptr<CStackInfo> store;
    std::uint32_t name_rank = 0;  // the name's place in byte-wise order, set by finish()
  };

  RegistrySnapshot() = default;
  // Gives up the stack references, store by store, with no registry lock held.
  ~RegistrySnapshot();
  RegistrySnapshot(const RegistrySnapshot&) = delete;
  RegistrySnapshot& operator=(const RegistrySnapshot&) = delete;

  // Under the registry's locks. reserve() once with the total, then per group: add_group(), and
  // add_entry() for each entry under the group store's stacks_mutex (taken by the caller).
  void reserve(std::size_t groups, std::size_t entries);
  std::uint32_t add_group(const std::string& name, const std::shared_ptr<CStackInfo>& store);
  void add_entry(std::uint32_t group, void* obj, std::time_t created, PooledStack* stack) {
    if (stack != nullptr) groups_[group].store->pool.retain(stack);
    entries_.push_back({obj, created, stack, group});
  }

  // With no registry lock held: ranks the names and sorts the entries by name (byte-wise), then
  // pointer, as queries and reports list them.
  void finish();

  const std::vector<Entry>& entries() const { return entries_; }
  const std::vector<Group>& groups() const { return groups_; }
  const Group& group_of(const Entry& entry) const { return groups_[entry.group]; }
  // How many distinct names the snapshot holds (after finish()).
  std::size_t name_count() const { return name_count_; }

  // The query text of `entry`: the "Frame <name>[<pointer>]" header and the stack's frame lines
  // (empty without a recorded stack). Resolves the stack at its first use in the process.
  std::string stack_text(const Entry& entry) const;

 private:
  std::vector<Group> groups_;
  std::vector<Entry> entries_;
  std::size_t name_count_ = 0;
};

}  // namespace resmonitor
