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
#include <vector>

namespace quillmark::platform::posix {

struct AddressRange {
  std::uint64_t low;
  std::uint64_t end;          // one past the last address
  std::uint64_t unit_offset;  // of the unit's header in .debug_info
  // Once sorted: the greatest end of the ranges before this one. An address below it lies in
  // an earlier range too.
  std::uint64_t reach_before = 0;
};

// Appends the ranges of the `.debug_aranges` section `bytes` (`size` long) to `out`; false when
// it is malformed or uses what this reader does not know (segments, odd address sizes).
bool read_address_ranges(const unsigned char* bytes, std::size_t size,
                         std::vector<AddressRange>& out);

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
  std::vector<AddressRange> ranges_;  // by low, once kRead
};

}  // namespace quillmark::platform::posix
