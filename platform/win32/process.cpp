#include "platform/platform.h"

#include <windows.h>

#include "platform/win32/process_exit.h"

namespace quillmark::platform {

bool other_threads_are_gone() { return detail::process_is_exiting(); }

bool teardown_is_process_exit() { return detail::process_is_exiting(); }

void keep_library_loaded() {
  HMODULE self = nullptr;
  // Pinning cannot be undone: FreeLibrary then only drops the caller's reference.
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&keep_library_loaded), &self);
}

LibraryReference::LibraryReference() {
  HMODULE self = nullptr;
  // Without the pin flag the reference is counted: FreeLibrary in the destructor drops it.
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&keep_library_loaded), &self)) {
    module_ = self;
  }
}

LibraryReference::~LibraryReference() {
  if (module_ != nullptr) FreeLibrary(static_cast<HMODULE>(module_));
}

}  // namespace quillmark::platform
