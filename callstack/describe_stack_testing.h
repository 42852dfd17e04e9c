// Hooks for tests of the once-per-process module loading (suites under Wine run in one process).
#pragma once

#include <cstddef>

namespace resmonitor::stack_testing {

// Makes the next describe_stack() load module symbols and resolve every frame again.
void forget_loaded_modules();

// Whether module symbols were loaded.
bool loaded_modules();

// Sets the bound of the kept frame lines (kMostKeptFrames by default).
void set_most_kept_frames(std::size_t most);
// How many frames' lines are kept.
std::size_t kept_frames();

}  // namespace resmonitor::stack_testing
