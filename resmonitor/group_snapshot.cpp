#include "resmonitor/group_snapshot.h"

#include <mutex>

#include "callstack/describe_stack.h"

namespace resmonitor {

GroupSnapshot::~GroupSnapshot() { release_pending(); }

ResMonitorInfo& GroupSnapshot::add_copy(const std::shared_ptr<CStackInfo>& store,
                                        PooledStack* stack) {
  ResMonitorInfo& copy = copies.emplace_back();
  if (stack != nullptr) {
    if (stores.empty() || stores.back() != store) stores.push_back(store);
    pending.push_back({&copy, stack, store.get()});
  }
  return copy;
}

void GroupSnapshot::sort_by_pointer() {
  // List nodes do not move, so the pending texts still point at their copies.
  copies.sort([](const ResMonitorInfo& a, const ResMonitorInfo& b) {
    return std::less<void*>()(a.obj, b.obj);
  });
}

PooledStack* GroupSnapshot::first_pending_stack() const {
  return pending.empty() ? nullptr : pending.front().stack;
}

void GroupSnapshot::resolve_texts() {
  for (const PendingText& text : pending) {
    text.copy->callStack = describe_pooled_stack(*text.store, name, text.copy->obj, *text.stack);
  }
}

void GroupSnapshot::release_pending() {
  // The pending stacks come store by store: one lock of each store for its run.
  std::size_t first = 0;
  while (first < pending.size()) {
    CStackInfo& store = *pending[first].store;
    std::lock_guard<quillmark::platform::ShortLock> lock(store.stacks_mutex);
    for (; first < pending.size() && pending[first].store == &store; ++first) {
      store.pool.release(pending[first].stack);
    }
  }
  pending.clear();
}

}  // namespace resmonitor
