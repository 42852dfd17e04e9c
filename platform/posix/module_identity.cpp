// Module identities on Linux: the dynamic loader's list of objects and the build-id notes it maps
// with each of them (loaded_objects.h).
#include "platform/module_identity.h"

#include "platform/posix/loaded_objects.h"

namespace quillmark::platform {

void identify_modules(const std::uint64_t* addresses, std::uint32_t count, ModuleIdentity* out) {
  posix::identify_objects(addresses, count, out);
}

std::wstring loaded_module_path(std::uint64_t base) {
  return posix::object_path(reinterpret_cast<void*>(base));
}

bool module_loaded(const ModuleIdentity& identity) {
  if (identity.base == 0) return false;
  ModuleIdentity now;
  posix::identify_objects(&identity.base, 1, &now);
  return same_module(now, identity);
}

}  // namespace quillmark::platform
