// Hooks for tests of the once-per-process module loading (suites under Wine run in one process).
#pragma once

namespace resmonitor::stack_testing {

// Makes the next describe_stack() load module symbols and resolve every frame again.
void forget_loaded_modules();

// Whether module symbols were loaded.
bool loaded_modules();

}  // namespace resmonitor::stack_testing
