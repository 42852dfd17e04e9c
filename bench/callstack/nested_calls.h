// Stack shapes shared by the call-stack benchmarks: a registration recorded the way a resource
// group records it, reached through a chosen number of plain nested calls.
#pragma once

#include "callstack/cstack_info.h"

namespace quillmark::bench {

__attribute__((noinline)) inline void registry_add(resmonitor::CStackInfo& info, void* ptr) {
  resmonitor::record_stack(info, ptr, "Texture", StackContext{QUILLMARK_RETURN_ADDRESS()});
  asm volatile("" ::: "memory");
}

// Runs `work` `depth` calls deeper than the caller.
template <typename Work>
__attribute__((noinline)) void nested(int depth, const Work& work) {
  if (depth == 0) {
    work();
  } else {
    nested(depth - 1, work);
  }
  asm volatile("" ::: "memory");
}

}  // namespace quillmark::bench
