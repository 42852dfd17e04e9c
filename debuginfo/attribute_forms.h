// The values of debugging-entry attributes, read by their forms: the one reader behind both the
// quick search of dwarf_entries.h and the resolver's full reads of entries.
#pragma once

#include <cstdint>

#include "debuginfo/dwarf_bytes.h"
#include "debuginfo/dwarf_constants.h"

namespace quillmark::debuginfo {

// What the header of a unit says, and where the unit's own entry is.
struct UnitShape {
  unsigned version = 0;
  unsigned address_size = 8;
  unsigned offset_size = 4;
  std::uint64_t unit_offset = 0;    // of the unit's header in .debug_info
  std::uint64_t unit_entry = 0;     // of the unit's own entry in .debug_info
  std::uint64_t abbrev_offset = 0;  // of its abbreviation table in .debug_abbrev
};

// One attribute value as read. `raw` holds the number of the constant, flag, address,
// reference, offset and index forms; `text` the string of DW_FORM_string. Blocks, expressions
// and 16-byte constants are stepped over.
struct FormValue {
  std::uint32_t form = 0;  // the actual form, after DW_FORM_indirect
  std::uint64_t raw = 0;
  const char* text = nullptr;
};

// The size of a value of `form` in a unit of shape `unit`, or -1 when it varies from value to
// value (and for forms this reader does not know).
inline int fixed_form_size(std::uint64_t form, const UnitShape& unit) {
  switch (form) {
    case DW_FORM_flag_present:
    case DW_FORM_implicit_const:
      return 0;
    case DW_FORM_data1:
    case DW_FORM_ref1:
    case DW_FORM_flag:
    case DW_FORM_strx1:
    case DW_FORM_addrx1:
      return 1;
    case DW_FORM_data2:
    case DW_FORM_ref2:
    case DW_FORM_strx2:
    case DW_FORM_addrx2:
      return 2;
    case DW_FORM_strx3:
    case DW_FORM_addrx3:
      return 3;
    case DW_FORM_data4:
    case DW_FORM_ref4:
    case DW_FORM_ref_sup4:
    case DW_FORM_strx4:
    case DW_FORM_addrx4:
      return 4;
    case DW_FORM_data8:
    case DW_FORM_ref8:
    case DW_FORM_ref_sig8:
    case DW_FORM_ref_sup8:
      return 8;
    case DW_FORM_data16:
      return 16;
    case DW_FORM_addr:
      return static_cast<int>(unit.address_size);
    case DW_FORM_strp:
    case DW_FORM_line_strp:
    case DW_FORM_sec_offset:
    case DW_FORM_strp_sup:
    case DW_FORM_GNU_ref_alt:
    case DW_FORM_GNU_strp_alt:
      return static_cast<int>(unit.offset_size);
    case DW_FORM_ref_addr:
      return static_cast<int>(unit.version <= 2 ? unit.address_size : unit.offset_size);
    default:
      return -1;
  }
}

// Reads one value of `form` at `at` and moves past it; false when it runs past `end` or the form
// is unknown. `implicit_value` is the abbreviation's constant for DW_FORM_implicit_const.
inline bool read_form_value(std::uint64_t form, std::int64_t implicit_value, const UnitShape& unit,
                            const unsigned char*& at, const unsigned char* end, FormValue& value,
                            bool indirect_allowed = true) {
  value = FormValue();
  if (form > UINT32_MAX) return false;
  value.form = static_cast<std::uint32_t>(form);
  if (form == DW_FORM_flag_present) {
    value.raw = 1;
    return true;
  }
  if (form == DW_FORM_implicit_const) {
    value.raw = static_cast<std::uint64_t>(implicit_value);
    return true;
  }
  const int size = fixed_form_size(form, unit);
  if (size > 8) return skip_bytes(at, end, static_cast<std::uint64_t>(size));
  if (size >= 0) return read_fixed(at, end, static_cast<unsigned>(size), value.raw);
  std::int64_t signed_value = 0;
  std::uint64_t length = 0;
  switch (form) {
    case DW_FORM_udata:
    case DW_FORM_ref_udata:
    case DW_FORM_strx:
    case DW_FORM_addrx:
    case DW_FORM_loclistx:
    case DW_FORM_rnglistx:
    case DW_FORM_GNU_addr_index:
    case DW_FORM_GNU_str_index:
      return read_uleb(at, end, value.raw);
    case DW_FORM_sdata:
      if (!read_sleb(at, end, signed_value)) return false;
      value.raw = static_cast<std::uint64_t>(signed_value);
      return true;
    case DW_FORM_string:
      return read_cstring(at, end, value.text);
    case DW_FORM_block1:
      return read_fixed(at, end, 1, length) && skip_bytes(at, end, length);
    case DW_FORM_block2:
      return read_fixed(at, end, 2, length) && skip_bytes(at, end, length);
    case DW_FORM_block4:
      return read_fixed(at, end, 4, length) && skip_bytes(at, end, length);
    case DW_FORM_block:
    case DW_FORM_exprloc:
      return read_uleb(at, end, length) && skip_bytes(at, end, length);
    case DW_FORM_indirect:
      return indirect_allowed && read_uleb(at, end, length) &&
             read_form_value(length, implicit_value, unit, at, end, value, false);
    default:
      return false;
  }
}

}  // namespace quillmark::debuginfo
