#include "callstack/cstack_info.h"

namespace resmonitor {

void store_stack(CStackInfo& info, void* ptr, const std::string& name, CallStack* stack) {
  StackEntry& entry = info.stacks[ptr];
  delete entry.stack;
  entry.stack = stack;
  entry.object_name = name;
}

PooledStack* intern_stack(CStackInfo& info, std::unique_ptr<CallStack>& stack) {
  std::lock_guard<std::mutex> lock(info.stacks_mutex);
  stack->bind_symbols(&info.symbol_lock, info.process);
  return info.pool.intern(stack);
}

void retain_stack(CStackInfo& info, PooledStack* stack) {
  std::lock_guard<std::mutex> lock(info.stacks_mutex);
  info.pool.retain(stack);
}

void release_stack(CStackInfo& info, PooledStack* stack) {
  std::lock_guard<std::mutex> lock(info.stacks_mutex);
  info.pool.release(stack);
}

}  // namespace resmonitor
