#include "freezemonitor/dynamic_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace quillmark::testing {

#if defined(_WIN32)

DynamicLibrary::DynamicLibrary(const char* path) : handle_(LoadLibraryA(path)) {}

void* DynamicLibrary::symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

bool DynamicLibrary::resident(const char* path) { return GetModuleHandleA(path) != nullptr; }

void DynamicLibrary::unload() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

#else

DynamicLibrary::DynamicLibrary(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}

void* DynamicLibrary::symbol(const char* name) const { return dlsym(handle_, name); }

bool DynamicLibrary::resident(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

void DynamicLibrary::unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

#endif

}  // namespace quillmark::testing
