// What is read from one module's DWARF on first use and kept with the module.
#pragma once

#include "platform/posix/function_entries.h"
#include "platform/posix/line_tables.h"
#include "platform/posix/unit_ranges.h"

namespace quillmark::platform::posix {

struct ModuleDwarf {
  LineTables lines;
  UnitRanges units;
  FunctionEntries functions;

  // Forgets everything: the module's DWARF is going away.
  void clear() {
    lines.clear();
    units.clear();
    functions.clear();
  }
};

}  // namespace quillmark::platform::posix
