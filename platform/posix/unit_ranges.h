// The compilation units of one module by address, read from its `.debug_aranges` on first use.
//
// libdw answers the same question (dwfl_module_addrdie) by first reading the header of every
// unit of the module and sorting every range: for a large program, most of the first look-up of
// its first frame. This reads only the small `.debug_aranges` section; libdw then opens just the
// unit asked for (and the headers before it).
#pragma once

#include <elfutils/libdw.h>

#include <cstddef>
#include <cstdint>

#include "debuginfo/address_ranges.h"

namespace quillmark::platform::posix {

class UnitRanges {
 public:
  enum class Found { kUnit, kNotListed, kUnreadable };
  // The unit that holds `address` (module-relative) in `dwarf`. kNotListed when the ranges do
  // not list the address, or list it for more than one unit (as they do for the copies of an
  // inline function that the linker dropped: which unit then answers is libdw's choice);
  // kUnreadable when the module has no `.debug_aranges` this reader can read, or the unit listed
  // cannot be opened as a compilation unit. In each case the caller asks libdw.
  Found unit_at(Dwarf* dwarf, std::uint64_t address, Dwarf_Die& unit);
  // Forgets everything: the module's DWARF is going away.
  void clear();

 private:
  enum class State { kUnread, kRead, kUnreadable };
  State state_ = State::kUnread;
  debuginfo::AddressRanges ranges_;  // once kRead
};

}  // namespace quillmark::platform::posix
