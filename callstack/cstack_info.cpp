#include "callstack/cstack_info.h"

namespace resmonitor {

void store_stack(CStackInfo& info, void* ptr, const std::string& name, CallStack* stack) {
  StackEntry& entry = info.stacks[ptr];
  delete entry.stack;
  entry.stack = stack;
  entry.object_name = name;
}

PooledStack* intern_stack(CStackInfo& info, const CapturedFrames& captured) {
  std::lock_guard<quillmark::platform::ShortLock> lock(info.stacks_mutex);
  PooledStack* pooled = info.pool.intern(captured);
  // Bound once, when the stack is new: an idle stack taken up again may be resolving right now
  // for a registry snapshot, which holds the pool pinned but no reference.
  if (pooled->stack->symbol_lock() == nullptr) {
    pooled->stack->bind_symbols(&info.symbol_lock, info.process);
  }
  return pooled;
}

void release_stack(CStackInfo& info, PooledStack* stack) {
  std::lock_guard<quillmark::platform::ShortLock> lock(info.stacks_mutex);
  info.pool.release(stack);
}

}  // namespace resmonitor
