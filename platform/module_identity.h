// Which module holds a code address, and which build of it: recorded with each distinct stack, so
// that its frames can still be resolved, and never to another module's names, after the module
// was unloaded or another one was loaded at its address.
//
// The identity is read from the module's headers in memory, never from its file: on Linux the
// GNU build-id note (from the program headers the dynamic loader reports), on Windows the PE
// time stamp, image size and checksum. Nothing here waits for the loader lock that is held while
// library constructors and destructors run.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace quillmark::platform {

struct ModuleIdentity {
  // Longer build ids keep their first kMaxIdLength bytes.
  static constexpr std::uint32_t kMaxIdLength = 32;
  std::uint64_t base = 0;  // the load address; 0 when no module holds the address
  std::uint64_t size = 0;  // of the loaded image
  std::uint32_t id_length = 0;
  unsigned char id[kMaxIdLength] = {};
};

inline bool same_module(const ModuleIdentity& a, const ModuleIdentity& b) {
  return a.base == b.base && a.size == b.size && a.id_length == b.id_length &&
         std::memcmp(a.id, b.id, a.id_length) == 0;
}

// For each of the `count` addresses, the module that holds it (base 0 where none does).
void identify_modules(const std::uint64_t* addresses, std::uint32_t count, ModuleIdentity* out);

// The full path of the module loaded at `base`, empty when none is. On Windows it is the path of
// the file mapped there as the system names it ("X:\dir\name.dll", or a "\\?\GLOBALROOT\Device\..."
// path, which file functions take alike), since asking the loader would wait for its lock.
std::wstring loaded_module_path(std::uint64_t base);

// Whether the module `identity` names is loaded at its base right now (and not another module,
// or another build of it, at the same address).
bool module_loaded(const ModuleIdentity& identity);

}  // namespace quillmark::platform
