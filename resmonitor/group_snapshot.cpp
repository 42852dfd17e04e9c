#include "resmonitor/group_snapshot.h"

#include <mutex>

#include "callstack/describe_stack.h"

namespace resmonitor {

GroupSnapshot::~GroupSnapshot() { release_pending(); }

ResMonitorInfo& GroupSnapshot::add_copy(PooledStack* stack) {
  ResMonitorInfo& copy = copies.emplace_back();
  if (stack != nullptr) pending.push_back({&copy, stack});
  return copy;
}

PooledStack* GroupSnapshot::first_pending_stack() const {
  return pending.empty() ? nullptr : pending.front().stack;
}

void GroupSnapshot::resolve_texts() {
  for (const PendingText& text : pending) {
    text.copy->callStack = describe_pooled_stack(*store, name, text.copy->obj, *text.stack);
  }
}

void GroupSnapshot::release_pending() {
  if (pending.empty()) return;
  std::lock_guard<quillmark::platform::ShortLock> lock(store->stacks_mutex);
  for (const PendingText& text : pending) store->pool.release(text.stack);
  pending.clear();
}

}  // namespace resmonitor
