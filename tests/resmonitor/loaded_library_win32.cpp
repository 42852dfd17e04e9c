#include <windows.h>
// psapi.h needs the declarations of windows.h first.
#include <psapi.h>

#include <cwchar>

#include "tests/resmonitor/loaded_library.h"

namespace resmonitor::testing {

LoadedLibrary::LoadedLibrary(const char* path) : handle_(LoadLibraryA(path)) {}

void LoadedLibrary::unload() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

bool LoadedLibrary::resident(const char* path) { return GetModuleHandleA(path) != nullptr; }

bool LoadedLibrary::file_mapped(const std::string& file_name) {
  wchar_t wide_name[MAX_PATH] = {};
  if (MultiByteToWideChar(CP_UTF8, 0, file_name.c_str(), -1, wide_name, MAX_PATH) == 0) {
    return false;
  }
  const std::size_t name_length = std::wcslen(wide_name);
  MEMORY_BASIC_INFORMATION region = {};
  for (auto* address = static_cast<char*>(nullptr);
       VirtualQuery(address, &region, sizeof region) == sizeof region;
       address = static_cast<char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State != MEM_COMMIT || (region.Type != MEM_MAPPED && region.Type != MEM_IMAGE)) {
      continue;
    }
    wchar_t mapped_path[MAX_PATH] = {};
    const DWORD length =
        GetMappedFileNameW(GetCurrentProcess(), region.BaseAddress, mapped_path, MAX_PATH);
    if (length > name_length && mapped_path[length - name_length - 1] == L'\\' &&
        _wcsicmp(mapped_path + length - name_length, wide_name) == 0) {
      return true;
    }
  }
  return false;
}

void* LoadedLibrary::symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace resmonitor::testing
