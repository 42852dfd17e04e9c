#include <dlfcn.h>

#include <fstream>

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

bool LoadedLibrary::file_mapped(const std::string& file_name) {
  std::ifstream maps("/proc/self/maps");
  const std::string ending = "/" + file_name;
  for (std::string line; std::getline(maps, line);) {
    if (line.size() >= ending.size() &&
        line.compare(line.size() - ending.size(), ending.size(), ending) == 0) {
      return true;
    }
  }
  return false;
}

void* LoadedLibrary::symbol(const char* name) const { return dlsym(handle_, name); }

}  // namespace resmonitor::testing
