#include "platform/posix/function_entries.h"

#include <dwarf.h>

#include "platform/posix/debug_sections.h"

namespace quillmark::platform::posix {

namespace {

struct AddressQuery {
  Dwarf* dwarf;
  Dwarf_Addr address;
};

// For entries whose extent only libdw can work out (DW_AT_ranges and the like).
bool libdw_says_it_holds(void* context, std::uint64_t entry_offset) {
  const auto* query = static_cast<const AddressQuery*>(context);
  Dwarf_Die entry;
  return dwarf_offdie(query->dwarf, entry_offset, &entry) != nullptr &&
         dwarf_haspc(&entry, query->address) == 1;
}

// The shape of a compilation unit of .debug_info; false for any other kind of unit.
bool unit_shape(Dwarf_Die& unit, UnitShape& shape) {
  Dwarf_Half version = 0;
  std::uint8_t unit_type = 0;
  if (dwarf_cu_info(unit.cu, &version, &unit_type, nullptr, nullptr, nullptr, nullptr, nullptr) !=
          0 ||
      (unit_type != DW_UT_compile && version >= 5)) {
    return false;
  }
  Dwarf_Die unit_entry;
  Dwarf_Off abbrev_offset = 0;
  std::uint8_t address_size = 0;
  std::uint8_t offset_size = 0;
  if (dwarf_cu_die(unit.cu, &unit_entry, &version, &abbrev_offset, &address_size, &offset_size,
                   nullptr, nullptr) == nullptr ||
      dwarf_tag(&unit_entry) != DW_TAG_compile_unit) {
    return false;
  }
  shape.version = version;
  shape.address_size = address_size;
  shape.offset_size = offset_size;
  shape.unit_entry = dwarf_dieoffset(&unit_entry);
  shape.unit_offset = shape.unit_entry - dwarf_cuoffset(&unit_entry);
  shape.abbrev_offset = abbrev_offset;
  return true;
}

}  // namespace

bool FunctionEntries::find_sections(Dwarf* dwarf) {
  return debug_section(dwarf, ".debug_info", info_, info_size_) == SectionState::kFound &&
         debug_section(dwarf, ".debug_abbrev", abbrev_, abbrev_size_) == SectionState::kFound;
}

const AbbreviationTable* FunctionEntries::abbreviations_at(const UnitShape& unit) {
  const auto key =
      std::make_tuple(unit.abbrev_offset, unit.address_size, unit.offset_size, unit.version);
  const auto known = tables_.find(key);
  if (known != tables_.end()) return known->second.get();
  auto table = std::make_unique<AbbreviationTable>();
  if (!table->read(abbrev_, abbrev_size_, unit.abbrev_offset, unit)) table.reset();
  return tables_.emplace(key, std::move(table)).first->second.get();
}

bool FunctionEntries::function_at(Dwarf* dwarf, Dwarf_Die& unit, std::uint64_t address,
                                  Dwarf_Die& function) {
  if (sections_state_ == Sections::kUnknown) {
    sections_state_ = find_sections(dwarf) ? Sections::kFound : Sections::kMissing;
  }
  UnitShape shape;
  if (sections_state_ != Sections::kFound || !unit_shape(unit, shape)) return false;
  const AbbreviationTable* abbreviations = abbreviations_at(shape);
  if (abbreviations == nullptr) return false;
  AddressQuery query{dwarf, address};
  std::uint64_t entry_offset = 0;
  return find_function_entry(info_, info_size_, shape, *abbreviations, address,
                             &libdw_says_it_holds, &query, entry_offset) == EntrySearch::kFound &&
         dwarf_offdie(dwarf, entry_offset, &function) != nullptr;
}

void FunctionEntries::clear() {
  tables_.clear();
  info_ = nullptr;
  info_size_ = 0;
  abbrev_ = nullptr;
  abbrev_size_ = 0;
  sections_state_ = Sections::kUnknown;
}

}  // namespace quillmark::platform::posix
