#include "callstack/cstack_info.h"

namespace resmonitor {

void record_stack(CStackInfo& info, void* ptr, const std::string& name,
                  const StackContext& context) {
  std::lock_guard<std::mutex> lock(info.stacks_mutex);
  std::unique_ptr<CallStack> stack(create_fast_call_stack());
  stack->bind_symbols(&info.symbol_lock, info.process);
  StackContext capture_context = context;
  stack->capture(info.stack_depth, 0, capture_context);

  StackEntry& entry = info.stacks[ptr];
  delete entry.stack;
  entry.stack = stack.release();
  entry.object_name = name;
}

}  // namespace resmonitor
