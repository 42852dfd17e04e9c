#include "platform/posix/unit_ranges.h"

#include <dwarf.h>

#include <algorithm>

#include "platform/posix/debug_sections.h"
#include "platform/posix/dwarf_bytes.h"

namespace quillmark::platform::posix {

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

// The compilation unit whose header is at `offset`; false for any other kind of unit.
bool open_unit(Dwarf* dwarf, std::uint64_t offset, Dwarf_Die& unit) {
  Dwarf_Off next = 0;
  std::size_t header_size = 0;
  if (dwarf_next_unit(dwarf, offset, &next, &header_size, nullptr, nullptr, nullptr, nullptr,
                      nullptr, nullptr) != 0 ||
      dwarf_offdie(dwarf, offset + header_size, &unit) == nullptr) {
    return false;
  }
  return dwarf_tag(&unit) == DW_TAG_compile_unit;
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

UnitRanges::Found UnitRanges::unit_at(Dwarf* dwarf, std::uint64_t address, Dwarf_Die& unit) {
  if (state_ == State::kUnread) {
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;
    const bool read = debug_section(dwarf, ".debug_aranges", bytes, size) == SectionState::kFound &&
                      read_address_ranges(bytes, size, ranges_);
    std::sort(ranges_.begin(), ranges_.end(),
              [](const AddressRange& a, const AddressRange& b) { return a.low < b.low; });
    std::uint64_t reach = 0;
    for (AddressRange& range : ranges_) {
      range.reach_before = reach;
      reach = std::max(reach, range.end);
    }
    state_ = read ? State::kRead : State::kUnreadable;
    if (!read) ranges_.clear();
  }
  if (state_ != State::kRead) return Found::kUnreadable;
  auto after = std::upper_bound(
      ranges_.begin(), ranges_.end(), address,
      [](std::uint64_t wanted, const AddressRange& range) { return wanted < range.low; });
  if (after == ranges_.begin()) return Found::kNotListed;
  const AddressRange& range = *std::prev(after);
  if (address >= range.end || address < range.reach_before) return Found::kNotListed;
  return open_unit(dwarf, range.unit_offset, unit) ? Found::kUnit : Found::kUnreadable;
}

void UnitRanges::clear() {
  ranges_.clear();
  state_ = State::kUnread;
}

}  // namespace quillmark::platform::posix
