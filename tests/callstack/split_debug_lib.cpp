#include "split_debug_lib.h"

namespace {

__attribute__((noinline)) void split_debug_inner(SplitDebugCallback callback, void* argument) {
  callback(argument);
  asm volatile("" ::: "memory");
}

}  // namespace

static constexpr int kOuterCallLine = __LINE__ + 2;
void split_debug_outer(SplitDebugCallback callback, void* argument) {
  split_debug_inner(callback, argument);
  asm volatile("" ::: "memory");
}

int split_debug_outer_call_line() { return kOuterCallLine; }
