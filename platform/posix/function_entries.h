// The function entry that holds an address, found by reading the unit's entries directly (see
// dwarf_entries.h), with what that needs kept per module: the sections' bytes and the units'
// abbreviation tables.
#pragma once

#include <elfutils/libdw.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <tuple>

#include "debuginfo/dwarf_entries.h"

namespace quillmark::platform::posix {

using debuginfo::AbbreviationTable;
using debuginfo::EntrySearch;
using debuginfo::find_function_entry;
using debuginfo::UnitShape;

class FunctionEntries {
 public:
  // The function entry of `unit` (a unit of `dwarf`) whose code holds `address` (as the DWARF
  // gives addresses), among the unit's top-level entries and those of its namespaces. False
  // when there is none there, or this reader cannot tell: the caller then asks libdw.
  bool function_at(Dwarf* dwarf, Dwarf_Die& unit, std::uint64_t address, Dwarf_Die& function);
  // Forgets everything: the module's DWARF is going away.
  void clear();

 private:
  bool find_sections(Dwarf* dwarf);
  const AbbreviationTable* abbreviations_at(const UnitShape& unit);

  enum class Sections { kUnknown, kFound, kMissing };
  Sections sections_state_ = Sections::kUnknown;
  const unsigned char* info_ = nullptr;
  std::size_t info_size_ = 0;
  const unsigned char* abbrev_ = nullptr;
  std::size_t abbrev_size_ = 0;
  // By offset in .debug_abbrev and the shape of the units that use it (address size, offset
  // size, version); null for a table that could not be read.
  std::map<std::tuple<std::uint64_t, unsigned, unsigned, unsigned>,
           std::unique_ptr<AbbreviationTable>>
      tables_;
};

}  // namespace quillmark::platform::posix
