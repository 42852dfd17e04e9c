// Source lines from a module's DWARF: the line of an address, and the calls of inlined functions
// that enclose it, each with the line it was called from.
#pragma once

#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/module_dwarf.h"

namespace quillmark::platform::posix {

struct SourceLine {
  const char* file = nullptr;  // owned by libdw or the module's LineTables, alive with the module
  std::uint32_t line = 0;
  std::uint64_t address = 0;  // where the line's code starts; 0 for a call site
};

// The line-table row of `address`, read through `cache` where it can, else by libdw.
// `function_start` is the start of the function symbol that holds the address (0 when unknown):
// code without line information (start-up objects, hand-written assembly) gets the nearest line
// before it, which then belongs to another function, and is reported as having no line.
bool line_at(Dwfl_Module* module, ModuleDwarf& cache, std::uint64_t address,
             std::uint64_t function_start, SourceLine& line);

// The inlined calls that enclose one address, innermost first.
class InlineChain {
 public:
  InlineChain() = default;
  InlineChain(Dwfl_Module* module, ModuleDwarf& cache, std::uint64_t address);

  std::uint64_t address() const { return address_; }
  std::uint32_t size() const { return static_cast<std::uint32_t>(calls_.size()); }
  // The linkage name of the inlined function at `depth`, else its plain name; null if none.
  const char* function_name(std::uint32_t depth) const;
  // The line the inlined function at `depth` was called from.
  bool call_site(std::uint32_t depth, SourceLine& line) const;

 private:
  std::uint64_t address_ = 0;
  Dwarf_Die unit_ = {};
  const LineProgram* program_ = nullptr;  // the unit's file table, when LineTables reads it
  std::vector<Dwarf_Die> calls_;          // DW_TAG_inlined_subroutine entries, innermost first
};

}  // namespace quillmark::platform::posix
