// The direct readers of debugging entries and address ranges on any bytes, as a damaged or
// hostile debug file would give them. The input is a small header (unit shape, where the unit's
// entry is, the address to look for, the length of the abbreviation table), the table, then the
// entries; the entry bytes are also read as a `.debug_aranges` section. Nothing may read
// outside the copies, and a function found lies inside the entries.
#include <cstdint>
#include <cstring>
#include <vector>

#include "debuginfo/address_ranges.h"
#include "debuginfo/dwarf_entries.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using namespace quillmark::debuginfo;

constexpr std::size_t kHeaderSize = 12;

// Says yes to every other entry whose extent the reader cannot work out.
bool alternate(void* context, std::uint64_t) {
  auto* asked = static_cast<unsigned*>(context);
  return (++*asked & 1) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderSize) return 0;
  UnitShape unit;
  unit.address_size = (data[0] & 1) != 0 ? 8 : 4;
  unit.offset_size = (data[0] & 2) != 0 ? 8 : 4;
  unit.version = 2 + ((data[0] >> 2) & 3);
  unit.unit_entry = data[1];
  std::uint64_t address = 0;
  std::memcpy(&address, data + 2, 8);
  const std::size_t abbrev_size =
      std::min<std::size_t>(data[10] | (data[11] << 8), size - kHeaderSize);
  // Copies of their own, so that the sanitizer sees a read past either section.
  const std::vector<unsigned char> abbrev(data + kHeaderSize, data + kHeaderSize + abbrev_size);
  const std::vector<unsigned char> info(data + kHeaderSize + abbrev_size, data + size);

  std::vector<AddressRange> ranges;
  if (read_address_ranges(info.data(), info.size(), ranges)) {
    for (const AddressRange& range : ranges) FUZZ_CHECK(range.low < range.end);
  }

  AbbreviationTable table;
  if (abbrev.empty() || !table.read(abbrev.data(), abbrev.size(), 0, unit)) return 0;
  unsigned asked = 0;
  std::uint64_t entry = 0;
  if (find_function_entry(info.data(), info.size(), unit, table, address, &alternate, &asked,
                          entry) == EntrySearch::kFound) {
    FUZZ_CHECK(entry < info.size());
  }
  return 0;
}
