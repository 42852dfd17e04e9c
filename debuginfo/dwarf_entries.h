// A unit's debugging entries read straight from `.debug_info` and `.debug_abbrev`, for the one
// question libdw answers slowly: which function of a unit holds an address.
//
// libdw's dwarf_getscopes visits the unit's entries one by one through its general attribute
// look-ups, about 70 ns an entry; a unit of template-heavy C++ has a few thousand entries at
// its top level, so the first frame of such a unit cost some 0.2 ms. Here each entry is read
// once, in one pass over its attributes, and everything below an entry that is not a namespace
// is stepped over by its sibling reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "debuginfo/attribute_forms.h"

namespace quillmark::debuginfo {

struct AttributeForm {
  std::uint32_t name = 0;
  std::uint32_t form = 0;
  std::int64_t implicit_value = 0;  // for DW_FORM_implicit_const
};

struct Abbreviation {
  static constexpr std::uint32_t kVariableSize = ~std::uint32_t{0};
  // The attributes the search reads: where in the list and, in a fixed layout, in the entry.
  struct Read {
    std::uint32_t index = 0;
    std::uint32_t offset = 0;
  };

  std::uint64_t tag = 0;  // 0: no abbreviation of this code
  bool has_children = false;
  std::uint32_t first_attribute = 0;  // into the table's attributes()
  std::uint32_t attribute_count = 0;
  // The size of every entry of this abbreviation when none of its values varies in size (no
  // strings, blocks or LEB128 numbers): such entries are stepped over in one move.
  std::uint32_t fixed_size = kVariableSize;
  std::uint32_t read_count = 0;
  Read reads[4];  // DW_AT_sibling, DW_AT_low_pc, DW_AT_high_pc, DW_AT_ranges, where present
};

// One abbreviation table of `.debug_abbrev`, for units of one shape (the sizes of addresses
// and offsets decide which layouts are fixed).
class AbbreviationTable {
 public:
  // False when the table is malformed or runs past the section.
  bool read(const unsigned char* section, std::size_t size, std::uint64_t offset,
            const UnitShape& unit);
  // The abbreviation of `code`, or null.
  const Abbreviation* find(std::uint64_t code) const;
  // The attributes of `abbreviation`, one after the other.
  const AttributeForm* attributes(const Abbreviation& abbreviation) const {
    return attributes_.data() + abbreviation.first_attribute;
  }

 private:
  // All of them in one place: a unit of template-heavy C++ has hundreds of abbreviations.
  std::vector<AttributeForm> attributes_;
  std::vector<Abbreviation> dense_;  // by code, for the small codes compilers give
  std::map<std::uint64_t, Abbreviation> sparse_;
};

enum class EntrySearch { kFound, kNotFound, kUnreadable };

// Asked about a function whose extent the reader cannot work out itself (DW_AT_ranges, indexed
// addresses): whether the entry at `entry_offset` holds the address.
using HoldsAddress = bool (*)(void* context, std::uint64_t entry_offset);

// Looks, in the order of `.debug_info`, through the entries at the top level of the unit and
// inside its namespaces for the first function entry (DW_TAG_subprogram) whose code holds
// `address` (as the DWARF gives addresses, without the module's load bias), and sets
// `entry_offset` to its offset. kUnreadable when the entries are malformed or use what this
// reader does not know: the caller then asks libdw.
EntrySearch find_function_entry(const unsigned char* info, std::size_t info_size,
                                const UnitShape& unit, const AbbreviationTable& abbreviations,
                                std::uint64_t address, HoldsAddress holds, void* context,
                                std::uint64_t& entry_offset);

}  // namespace quillmark::debuginfo
