// Source lines from a module's DWARF through libdw, for DWARF the library's own resolver cannot
// read (debuginfo/dwarf_resolver.h gives the same answers for the rest): the line of an address,
// and the calls of inlined functions that enclose it, each with the line it was called from.
#pragma once

#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/module_dwarf.h"

namespace quillmark::platform::posix {

struct SourceLine {
  const char* file = nullptr;  // owned by libdw or the module's ModuleDwarf, alive with the module
  std::uint32_t line = 0;
  std::uint64_t address = 0;  // where the line's code starts; 0 for a call site
};

// The line-table row of `address`: libdw's row, within a unit that holds the address.
bool line_at(Dwfl_Module* module, ModuleDwarf& cache, std::uint64_t address, SourceLine& line);

// The qualified DWARF name (dwarf_names.h) of the function whose code holds `address`; empty when
// there is none.
std::string function_name_at(Dwfl_Module* module, std::uint64_t address);

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
  ModuleDwarf* names_ = nullptr;              // joins the file names libdw gives
  std::vector<Dwarf_Die> calls_;              // DW_TAG_inlined_subroutine entries, innermost first
  std::vector<std::string> qualified_names_;  // by depth, made on first use
};

}  // namespace quillmark::platform::posix
