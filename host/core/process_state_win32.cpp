#include "process_state.h"

#include <windows.h>

#include <atomic>

namespace core::detail {
namespace {
std::atomic<bool> g_terminating{false};
}  // namespace

bool other_threads_are_gone() { return g_terminating.load(); }

void hold_across_fork(void (*)(), void (*)()) {}

}  // namespace core::detail

// The run-time calls DllMain before it runs this library's static destructors on unload, so the
// flag is set by the time the global bus is destroyed. A non-null `reserved` on detach means
// the process is exiting rather than unloading the library.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) core::detail::g_terminating = true;
  return TRUE;
}
