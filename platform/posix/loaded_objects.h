// The modules of the process as the dynamic loader knows them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/module_identity.h"

namespace quillmark::platform::posix {

// A loaded ELF object: the executable or a shared library.
struct LoadedObject {
  std::wstring path;
  std::uint64_t base;  // the lowest address of its loaded segments
  std::uint64_t size;  // from base to the end of its highest segment
  std::uint64_t bias;  // what the loader added to its link-time addresses
};

// Every loaded object, the executable first (under its /proc/self/exe path), without the vDSO
// and without objects the loader reports without a name.
std::vector<LoadedObject> loaded_objects();

// An object with the NT_GNU_BUILD_ID (raw bytes) of its image in memory, empty when it has none.
// The file the image was loaded from may have been replaced since; its build id then differs.
struct LoadedImage {
  LoadedObject object;
  std::string build_id;
};

// The object loaded at `base`; false when none is (any more).
bool loaded_image_at(std::uint64_t base, LoadedImage& image);

// For each of `count` addresses, the object that holds it (base 0 where none does), in one walk
// over the loader's list.
void identify_objects(const std::uint64_t* addresses, std::uint32_t count, ModuleIdentity* out);

// The path of the running executable, empty when it cannot be read.
std::string executable_path();

// The lookups below never wait for the loader lock that dlopen and dlclose hold while they run
// constructors and destructors.

// The base (load address) of the object that holds `address`, null when none does.
void* object_base_of(const void* address);

// The executable's base and its path; neither changes during the life of the process.
struct Executable {
  void* base;
  std::wstring path;
};
const Executable& executable();

// The path of the object loaded at `base`, empty when `base` is not an object's base.
std::wstring object_path(void* base);

}  // namespace quillmark::platform::posix
