// The library's entry point: quillmark needs no per-thread notifications, so it turns them off
// at load (they would otherwise cost every thread start and exit of the host).
#include <windows.h>

#include <atomic>

#include "platform/win32/process_exit.h"

namespace quillmark::platform::detail {
namespace {
std::atomic<bool> g_process_exiting{false};
}  // namespace

void note_process_exit() { g_process_exiting = true; }
bool process_is_exiting() { return g_process_exiting.load(); }

}  // namespace quillmark::platform::detail

// The run-time calls DllMain before it runs the static destructors on detach, so the flag is
// set by then. A non-null `reserved` on detach means the process is exiting, with every other
// thread already ended, rather than the library being unloaded.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
    quillmark::platform::detail::note_process_exit();
  }
  return TRUE;
}
