// A library whose debug information is shipped apart from it (see CMakeLists.txt).
#pragma once

extern "C" {
using SplitDebugCallback = void (*)(void* argument);

// Calls `callback` through two frames of this library; the call of the inner one is on the line
// split_debug_outer_call_line() returns.
__attribute__((visibility("default"))) void split_debug_outer(SplitDebugCallback callback,
                                                              void* argument);
__attribute__((visibility("default"))) int split_debug_outer_call_line();
}
