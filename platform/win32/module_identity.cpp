// Module identities on Windows: the image that holds an address is the allocation VirtualQuery
// reports for it, and its identity comes from the PE headers mapped at its base (pe_identity.h).
// Neither takes the loader lock.
#include <windows.h>
// psapi.h needs the declarations of windows.h first.
#include <psapi.h>

#include <cstring>

#include "platform/module_identity.h"
#include "platform/win32/pe_identity.h"

namespace quillmark::platform {

namespace {

// The identity of the image mapped at `base`; base 0 when no image is.
ModuleIdentity image_at(const void* base) {
  ModuleIdentity identity;
  MEMORY_BASIC_INFORMATION region = {};
  if (base == nullptr || VirtualQuery(base, &region, sizeof region) != sizeof region ||
      region.Type != MEM_IMAGE || region.AllocationBase != base) {
    return identity;
  }
  const auto* dos = static_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return identity;
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(static_cast<const BYTE*>(base) + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return identity;
  return win32::pe_identity(nt, reinterpret_cast<std::uintptr_t>(base));
}

const void* allocation_of(std::uint64_t address) {
  MEMORY_BASIC_INFORMATION region = {};
  if (VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) !=
          sizeof region ||
      region.Type != MEM_IMAGE) {
    return nullptr;
  }
  return region.AllocationBase;
}

}  // namespace

// Two builds of one library differ in time stamp, unless the linker was told to leave it out or
// both were linked within one second; their checksums differ even then.
ModuleIdentity win32::pe_identity(const void* nt_headers, std::uint64_t base) {
  const auto* nt = static_cast<const IMAGE_NT_HEADERS*>(nt_headers);
  const DWORD fields[] = {nt->FileHeader.TimeDateStamp, nt->OptionalHeader.SizeOfImage,
                          nt->OptionalHeader.CheckSum};
  ModuleIdentity identity;
  identity.base = base;
  identity.size = nt->OptionalHeader.SizeOfImage;
  identity.id_length = sizeof fields;
  std::memcpy(identity.id, fields, sizeof fields);
  return identity;
}

void identify_modules(const std::uint64_t* addresses, std::uint32_t count, ModuleIdentity* out) {
  ModuleIdentity last;
  for (std::uint32_t i = 0; i < count; ++i) {
    // Neighbouring frames mostly lie in one module: its extent saves the queries.
    if (last.base == 0 || addresses[i] - last.base >= last.size) {
      last = image_at(allocation_of(addresses[i]));
    }
    out[i] = last;
  }
}

std::wstring loaded_module_path(std::uint64_t base) {
  wchar_t path[1024] = {};
  const DWORD length = GetMappedFileNameW(
      GetCurrentProcess(), reinterpret_cast<void*>(static_cast<std::uintptr_t>(base)), path,
      ARRAYSIZE(path));
  if (length == 0 || length >= ARRAYSIZE(path)) return std::wstring();
  const std::wstring mapped(path, length);
  // "\??\X:\..." is the DOS path under its NT prefix; a device path is reached through the
  // global root.
  static constexpr wchar_t kDosPrefix[] = L"\\??\\";
  if (mapped.compare(0, 4, kDosPrefix) == 0) return mapped.substr(4);
  if (mapped.compare(0, 8, L"\\Device\\") == 0) return L"\\\\?\\GLOBALROOT" + mapped;
  return mapped;
}

bool module_loaded(const ModuleIdentity& identity) {
  if (identity.base == 0) return false;
  return same_module(image_at(reinterpret_cast<const void*>(identity.base)), identity);
}

}  // namespace quillmark::platform
