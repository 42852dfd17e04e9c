#include "debuginfo/address_ranges.h"

#include <algorithm>
#include <iterator>

#include "debuginfo/dwarf_bytes.h"

namespace quillmark::debuginfo {

namespace {

// One set of the section: its header, then (address, length) pairs up to a (0, 0) pair.
bool read_set(const unsigned char*& at, const unsigned char* end, std::vector<AddressRange>& out) {
  const unsigned char* set_start = at;
  std::uint64_t length = 0;
  if (!read_fixed(at, end, 4, length)) return false;
  unsigned offset_size = 4;
  if (length == 0xFFFFFFFF) {
    offset_size = 8;
    if (!read_fixed(at, end, 8, length)) return false;
  } else if (length >= 0xFFFFFFF0) {
    return false;
  }
  if (length > static_cast<std::uint64_t>(end - at)) return false;
  const unsigned char* set_end = at + length;
  std::uint64_t version = 0;
  std::uint64_t unit_offset = 0;
  std::uint64_t address_size = 0;
  std::uint64_t segment_size = 0;
  if (!read_fixed(at, set_end, 2, version) || version != 2 ||
      !read_fixed(at, set_end, offset_size, unit_offset) ||
      !read_fixed(at, set_end, 1, address_size) || !read_fixed(at, set_end, 1, segment_size) ||
      (address_size != 4 && address_size != 8) || segment_size != 0) {
    return false;
  }
  // The pairs start at a multiple of twice the address size from the start of the set.
  const std::size_t pair_size = 2 * address_size;
  const auto header = static_cast<std::size_t>(at - set_start);
  const std::size_t padding = (pair_size - header % pair_size) % pair_size;
  if (padding > static_cast<std::size_t>(set_end - at)) return false;
  at += padding;
  const auto size = static_cast<unsigned>(address_size);
  while (at < set_end) {
    std::uint64_t low = 0;
    std::uint64_t range_length = 0;
    if (!read_fixed(at, set_end, size, low) || !read_fixed(at, set_end, size, range_length)) {
      return false;
    }
    if (low == 0 && range_length == 0) break;
    if (range_length != 0 && low + range_length > low) {
      out.push_back({low, low + range_length, unit_offset});
    }
  }
  at = set_end;
  return true;
}

}  // namespace

bool read_address_ranges(const unsigned char* bytes, std::size_t size,
                         std::vector<AddressRange>& out) {
  const unsigned char* at = bytes;
  const unsigned char* end = bytes + size;
  while (at < end) {
    if (!read_set(at, end, out)) return false;
  }
  return true;
}

bool AddressRanges::read(const unsigned char* bytes, std::size_t size) {
  ranges_.clear();
  if (bytes == nullptr || !read_address_ranges(bytes, size, ranges_)) {
    ranges_.clear();
    return false;
  }
  std::sort(ranges_.begin(), ranges_.end(),
            [](const AddressRange& a, const AddressRange& b) { return a.low < b.low; });
  std::uint64_t reach = 0;
  for (AddressRange& range : ranges_) {
    range.reach_before = reach;
    reach = std::max(reach, range.end);
  }
  return true;
}

bool AddressRanges::unit_at(std::uint64_t address, std::uint64_t& unit_offset) const {
  auto after = std::upper_bound(
      ranges_.begin(), ranges_.end(), address,
      [](std::uint64_t wanted, const AddressRange& range) { return wanted < range.low; });
  if (after == ranges_.begin()) return false;
  const AddressRange& range = *std::prev(after);
  if (address >= range.end || address < range.reach_before) return false;
  unit_offset = range.unit_offset;
  return true;
}

}  // namespace quillmark::debuginfo
