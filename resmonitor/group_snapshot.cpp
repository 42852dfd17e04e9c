#include "resmonitor/group_snapshot.h"

#include <mutex>

#include "callstack/describe_stack.h"

namespace resmonitor {

GroupSnapshot::~GroupSnapshot() { release_pending(); }

void GroupSnapshot::add_copy(const ResMonitorInfo& info, PooledStack* stack) {
  copies.push_back(info);
  if (stack != nullptr && info.callStack.empty()) pending.push_back({&copies.back(), stack});
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
  std::lock_guard<std::mutex> lock(store->stacks_mutex);
  for (const PendingText& text : pending) store->pool.release(text.stack);
  pending.clear();
}

}  // namespace resmonitor
