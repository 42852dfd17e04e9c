#include <dlfcn.h>

#include "tests/resmonitor/loaded_library.h"

namespace resmonitor::testing {

LoadedLibrary::LoadedLibrary(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}

void LoadedLibrary::unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

bool LoadedLibrary::resident(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

void* LoadedLibrary::symbol(const char* name) const { return dlsym(handle_, name); }

}  // namespace resmonitor::testing
