#include <windows.h>

#include "tests/resmonitor/loaded_library.h"

namespace resmonitor::testing {

LoadedLibrary::LoadedLibrary(const char* path) : handle_(LoadLibraryA(path)) {}

void LoadedLibrary::unload() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

bool LoadedLibrary::resident(const char* path) { return GetModuleHandleA(path) != nullptr; }

void* LoadedLibrary::symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace resmonitor::testing
