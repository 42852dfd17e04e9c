// The `.debug_aranges` section: which compilation unit holds an address, without opening any
// unit. A small section, read whole and kept sorted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmark::debuginfo {

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

class AddressRanges {
 public:
  // Reads and sorts the section; false (and nothing kept) when read_address_ranges fails.
  bool read(const unsigned char* bytes, std::size_t size);
  // The header offset of the unit listed for `address`. False when no range lists it, or more
  // than one unit does (as for the copies of an inline function that the linker dropped).
  bool unit_at(std::uint64_t address, std::uint64_t& unit_offset) const;
  void clear() { ranges_.clear(); }

 private:
  std::vector<AddressRange> ranges_;  // by low
};

}  // namespace quillmark::debuginfo
