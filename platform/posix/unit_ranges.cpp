#include "platform/posix/unit_ranges.h"

#include <dwarf.h>

#include "platform/posix/debug_sections.h"

namespace quillmark::platform::posix {

namespace {

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

UnitRanges::Found UnitRanges::unit_at(Dwarf* dwarf, std::uint64_t address, Dwarf_Die& unit) {
  if (state_ == State::kUnread) {
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;
    const bool read = debug_section(dwarf, ".debug_aranges", bytes, size) == SectionState::kFound &&
                      ranges_.read(bytes, size);
    state_ = read ? State::kRead : State::kUnreadable;
  }
  if (state_ != State::kRead) return Found::kUnreadable;
  std::uint64_t unit_offset = 0;
  if (!ranges_.unit_at(address, unit_offset)) return Found::kNotListed;
  return open_unit(dwarf, unit_offset, unit) ? Found::kUnit : Found::kUnreadable;
}

void UnitRanges::clear() {
  ranges_.clear();
  state_ = State::kUnread;
}

}  // namespace quillmark::platform::posix
