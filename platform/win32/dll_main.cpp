// The library's entry point: quillmark needs no per-thread notifications, so it turns them off
// at load (they would otherwise cost every thread start and exit of the host).
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
