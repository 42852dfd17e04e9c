// The modules of the process as the dynamic loader knows them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillmark::platform::posix {

// A loaded ELF object: the executable or a shared library.
struct LoadedObject {
  std::wstring path;
  std::uint64_t base;  // the lowest address of its loaded segments
  std::uint64_t size;  // from base to the end of its highest segment
  std::uint64_t bias;  // what the loader added to its link-time addresses
  // The NT_GNU_BUILD_ID of the image in memory (raw bytes), empty when it has none. The file at
  // `path` may have been replaced since it was loaded; its build id then differs.
  std::string build_id;
};

// Every loaded object, the executable first (under its /proc/self/exe path), without the vDSO
// and without objects the loader reports without a name.
std::vector<LoadedObject> loaded_objects();

// The path of the running executable, empty when it cannot be read.
std::string executable_path();

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
