#include "callstack/cstack_info.h"

namespace resmonitor {

void store_stack(CStackInfo& info, void* ptr, const std::string& name, CallStack* stack) {
  StackEntry& entry = info.stacks[ptr];
  delete entry.stack;
  entry.stack = stack;
  entry.object_name = name;
}

}  // namespace resmonitor
