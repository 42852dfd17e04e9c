#include "platform/debug_help.h"

#include <atomic>

namespace quillmark::platform {

// The operating system's implementation, from win32/ or posix/.
DebugHelp& system_debug_help();

namespace {
// A test's replacement, or null for the operating system's.
std::atomic<DebugHelp*> installed{nullptr};
}  // namespace

DebugHelp& debug_help() {
  DebugHelp* replacement = installed.load(std::memory_order_acquire);
  return replacement != nullptr ? *replacement : system_debug_help();
}

DebugHelp* set_debug_help_for_testing(DebugHelp* replacement) {
  return installed.exchange(replacement, std::memory_order_acq_rel);
}

}  // namespace quillmark::platform
