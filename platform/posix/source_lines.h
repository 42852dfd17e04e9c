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

// The line-table row of `address`, read through `cache` where it can, else by libdw: the row at
// the greatest address not above it, within a sequence that holds it. A row may start before the
// function symbol that holds the address: the split parts GCC makes of a function
// ("run.cold", "run.part.0") may begin inside a row of the code placed before them.
bool line_at(Dwfl_Module* module, ModuleDwarf& cache, std::uint64_t address, SourceLine& line);

// The qualified DWARF name (dwarf_names.h) of the function whose code holds `address`; empty when
// there is none.
std::string function_name_at(Dwfl_Module* module, ModuleDwarf& cache, std::uint64_t address);

// The inlined calls that enclose one address, innermost first.
class InlineChain {
 public:
  InlineChain() = default;
  InlineChain(Dwfl_Module* module, ModuleDwarf& cache, std::uint64_t address);

  std::uint64_t address() const { return address_; }
  std::uint32_t size() const { return static_cast<std::uint32_t>(calls_.size()); }
  // The linkage name of the inlined function at `depth`, else its name qualified by its
  // namespaces and classes (dwarf_names.h); null if none. Valid as long as the chain.
  const char* function_name(std::uint32_t depth);
  // The qualified DWARF name alone, for a linkage name the demangler cannot read.
  const char* qualified_name(std::uint32_t depth);
  // The line the inlined function at `depth` was called from.
  bool call_site(std::uint32_t depth, SourceLine& line) const;

 private:
  std::uint64_t address_ = 0;
  Dwarf_Die unit_ = {};
  const LineProgram* program_ = nullptr;      // the unit's file table, when LineTables reads it
  LineTables* lines_ = nullptr;               // joins the names libdw gives otherwise
  std::vector<Dwarf_Die> calls_;              // DW_TAG_inlined_subroutine entries, innermost first
  std::vector<std::string> qualified_names_;  // by depth, made on first use
};

}  // namespace quillmark::platform::posix
