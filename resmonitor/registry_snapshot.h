// What a query or a report reads of the registry. The registry's locks are held only while the
// entries are copied in (an object pointer, a time and a stack pointer each) into one array
// prepared before the locks are taken: the copy allocates once per group (its name), never per
// entry, and takes no reference per entry (the stores of the entries' stacks are pinned instead).
// Names are ordered, entries sorted and stacks resolved to text afterwards, with no registry lock
// held: a host thread registering meanwhile waits for the copy alone, however large the registry
// is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "callstack/cstack_info.h"
#include "resmonitor/stack_stores.h"

namespace resmonitor {

class RegistrySnapshot {
 public:
  struct Entry {
    void* obj;
    std::time_t created;
    PooledStack* stack;   // null when none was recorded; kept alive by its pinned store
    std::uint32_t group;  // index into groups()
    std::uint32_t lane;   // the lane whose store pools `stack`
  };
  // One group of one registry slice. The same name has a group in each slice that holds one of
  // its objects.
  struct Group {
    std::string name;
    std::uint32_t name_rank = 0;  // the name's place in byte-wise order, set by finish()
    std::uint32_t first = 0;      // its first entry; its entries follow until the next group's
  };

  RegistrySnapshot() = default;
  // Unpins the stores, with no registry lock held.
  ~RegistrySnapshot();
  RegistrySnapshot(const RegistrySnapshot&) = delete;
  RegistrySnapshot& operator=(const RegistrySnapshot&) = delete;

  // Before the registry is locked: room for about this many groups and entries, in memory that is
  // touched already, so that the copy under the locks neither allocates nor faults pages in
  // while there is room.
  void prepare(std::size_t groups, std::size_t entries);
  // Pins the stores of the stacks the snapshot will hold: every store before the registry is
  // locked (a store pinned then keeps every stack released after it), or under the lock the one
  // store of a single entry. Their stacks stay while the snapshot lives, without a reference per
  // entry.
  void pin_all(StackStores& stores);
  void pin(StackStores& stores, std::uint32_t lane);
  // Under the registry's locks: per group add_group(), then add_entry() for each of its entries,
  // whose stack's store is pinned.
  std::uint32_t add_group(std::string_view name);
  void add_entry(std::uint32_t group, void* obj, std::time_t created, StackRef stack) {
    if (used_ == entries_.size()) entries_.emplace_back();
    // Field by field: a whole entry built aside and copied in was read back before its fields
    // were written, which cost the copy under the registry's locks half its time.
    Entry& entry = entries_[used_++];
    entry.obj = obj;
    entry.created = created;
    entry.stack = stack.stack();
    entry.group = group;
    entry.lane = stack.lane();
  }

  // With no registry lock held: ranks the names and, when `sorted`, sorts the entries by name
  // (byte-wise), then pointer, as queries and reports list them.
  void finish(bool sorted = true);

  const std::vector<Entry>& entries() const { return entries_; }
  const std::vector<Group>& groups() const { return groups_; }
  const Group& group_of(const Entry& entry) const { return groups_[entry.group]; }
  // The store that pools the stack of `entry`, which has one.
  CStackInfo& store_of(const Entry& entry) const { return stores_->store(entry.lane); }
  // How many distinct names the snapshot holds (after finish()).
  std::size_t name_count() const { return name_count_; }

  // The query text of `entry`: the "Frame <name>[<pointer>]" header and the stack's frame lines
  // (empty without a recorded stack). Resolves the stack at its first use in the process.
  std::string stack_text(const Entry& entry) const;

 private:
  // Below this many entries a comparison sort is quicker than sorting digit by digit.
  static constexpr std::size_t kSortByDigitsFrom = 2048;

  // Sorts a large snapshot by name (the ranks set), then pointer; `groups_by_name` lists the
  // groups in name order.
  void sort_by_digits(const std::vector<std::uint32_t>& groups_by_name);

  std::vector<Group> groups_;
  std::vector<Entry> entries_;  // the first used_ are set until finish()
  std::size_t used_ = 0;
  std::size_t name_count_ = 0;
  StackStores* stores_ = nullptr;   // set by the first pin
  std::uint32_t pinned_lanes_ = 0;  // a bit per lane whose store is pinned
};

}  // namespace resmonitor
