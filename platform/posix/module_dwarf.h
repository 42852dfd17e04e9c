// What is kept of one module's DWARF read through libdw (DWARF the library's own resolver leaves
// to it): the file names handed out, joined to their units' compilation directories.
#pragma once

#include <elfutils/libdw.h>

#include <string>
#include <unordered_set>

namespace quillmark::platform::posix {

class ModuleDwarf {
 public:
  // `file` as libdw gave it for `unit`, joined to the unit's compilation directory when it is
  // relative, as the resolver gives file names. Valid until clear().
  const char* joined_file_name(const char* file, Dwarf_Die& unit);
  // Forgets everything: the module's DWARF is going away.
  void clear() { joined_names_.clear(); }

 private:
  std::unordered_set<std::string> joined_names_;
};

}  // namespace quillmark::platform::posix
