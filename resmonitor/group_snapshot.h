// Copies of a name's registrations, taken under the registry's locks and completed with their
// stack texts after the locks are released, so that resolving symbols (which may be slow: debug
// files are read on first use) never holds up registrations.
#pragma once

#include <quillmark/resource_monitor.h>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "callstack/cstack_info.h"

namespace resmonitor {

class GroupSnapshot {
 public:
  explicit GroupSnapshot(std::string group_name) : name(std::move(group_name)) {}
  // Gives up the references on the stacks still to be resolved.
  ~GroupSnapshot();
  GroupSnapshot(const GroupSnapshot&) = delete;
  GroupSnapshot& operator=(const GroupSnapshot&) = delete;

  // Appends a copy for the caller to fill in; when `stack` is set, its text is to be resolved
  // from `stack` of `store`, on which the caller takes a reference for the snapshot (the
  // snapshot gives it up). Called under the registry's lock.
  ResMonitorInfo& add_copy(const std::shared_ptr<CStackInfo>& store, PooledStack* stack);
  // Puts the copies in the order queries list them: pointers ascending. The name's entries come
  // from several slices of the registry, each in order.
  void sort_by_pointer();
  bool has_pending() const { return !pending.empty(); }
  // The stack of the first copy still waiting for its text, or null.
  PooledStack* first_pending_stack() const;
  // Fills in the text of every copy that waits for one. Called with no registry lock held. The
  // references stay until the snapshot goes, so first_pending_stack() still names a live stack.
  void resolve_texts();

  const std::string name;
  std::list<ResMonitorInfo> copies;

 private:
  struct PendingText {
    ResMonitorInfo* copy;
    PooledStack* stack;
    CStackInfo* store;
  };
  void release_pending();

  // The stores of the pending stacks, kept alive until the snapshot goes.
  std::vector<std::shared_ptr<CStackInfo>> stores;
  std::vector<PendingText> pending;
};

// Snapshots of several names, in the byte-wise order of the names.
using GroupSnapshots = std::map<std::string, GroupSnapshot, std::less<>>;

}  // namespace resmonitor
