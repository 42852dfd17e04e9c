// The line programs of one module's units, read on first use and kept with the module.
#pragma once

#include <elfutils/libdw.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>

#include "debuginfo/line_program.h"

namespace quillmark::platform::posix {

using debuginfo::LineProgram;
using debuginfo::LineRow;
using debuginfo::LineSections;

class LineTables {
 public:
  // The program of `unit` (a unit of `dwarf`), or null when this reader cannot read it: the
  // caller then asks libdw. Valid until clear().
  const LineProgram* program_of(Dwarf* dwarf, Dwarf_Die& unit);
  // A file name libdw gave for `unit`, joined to the unit's compilation directory when it is
  // relative, as the programs read here give their names. Valid until clear().
  const char* joined_file_name(const char* file, Dwarf_Die& unit);
  // Forgets everything: the module's DWARF is going away.
  void clear();

 private:
  bool find_sections(Dwarf* dwarf);

  enum class Sections { kUnknown, kFound, kMissing };
  Sections sections_state_ = Sections::kUnknown;
  LineSections sections_;
  // By the program's offset in .debug_line; null for one that could not be read.
  std::map<std::uint64_t, std::unique_ptr<LineProgram>> programs_;
  std::unordered_set<std::string> joined_names_;  // the names joined_file_name handed out
};

}  // namespace quillmark::platform::posix
