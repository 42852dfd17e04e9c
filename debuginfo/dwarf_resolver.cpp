#include "debuginfo/dwarf_resolver.h"

#include <algorithm>

#include "debuginfo/dwarf_bytes.h"
#include "debuginfo/dwarf_constants.h"
#include "debuginfo/dwarf_entries.h"
#include "debuginfo/line_program.h"
#include "debuginfo/symbol_names.h"

namespace quillmark::debuginfo {

namespace {

// Deeper nesting than any compiler writes: a bound for damaged input.
constexpr int kMaxDepth = 64;
// How many DW_AT_abstract_origin and DW_AT_specification links are followed at most: damaged
// DWARF may make them a loop.
constexpr int kMaxLinks = 8;
constexpr std::size_t kMaxRangeEntries = 1 << 16;

enum Search { kFound, kNotFound, kBroken };

bool is_unit_reference(std::uint32_t form) {
  return form == DW_FORM_ref1 || form == DW_FORM_ref2 || form == DW_FORM_ref4 ||
         form == DW_FORM_ref8 || form == DW_FORM_ref_udata;
}

// References to an entry of the supplementary file, by its offset there.
bool is_supplementary_reference(std::uint32_t form) {
  return form == DW_FORM_GNU_ref_alt || form == DW_FORM_ref_sup4 || form == DW_FORM_ref_sup8;
}

bool is_constant(std::uint32_t form) {
  return form == DW_FORM_data1 || form == DW_FORM_data2 || form == DW_FORM_data4 ||
         form == DW_FORM_data8 || form == DW_FORM_udata || form == DW_FORM_sdata ||
         form == DW_FORM_implicit_const;
}

// Entries that may hold code nested in a function: where inlined calls are found.
bool is_code_scope(std::uint64_t tag) {
  switch (tag) {
    case DW_TAG_lexical_block:
    case DW_TAG_inlined_subroutine:
    case DW_TAG_subprogram:
    case DW_TAG_with_stmt:
    case DW_TAG_catch_block:
    case DW_TAG_try_block:
    case DW_TAG_entry_point:
      return true;
    default:
      return false;
  }
}

bool is_named_scope(std::uint64_t tag) {
  switch (tag) {
    case DW_TAG_namespace:
    case DW_TAG_class_type:
    case DW_TAG_structure_type:
    case DW_TAG_union_type:
    case DW_TAG_interface_type:
      return true;
    default:
      return false;
  }
}

// Entries without code of their own that may hold function definitions.
bool holds_definitions(std::uint64_t tag) {
  return tag == DW_TAG_namespace || tag == DW_TAG_module || tag == DW_TAG_class_type ||
         tag == DW_TAG_structure_type || tag == DW_TAG_union_type;
}

}  // namespace

// One attribute value as read: strings and indexed addresses are resolved when asked for, since
// the unit's offset tables may be named after them.
// The fields in this order keep it at 24 bytes: an entry holds fifteen and is read often.
struct DwarfResolver::Value {
  bool present = false;
  std::uint32_t form = 0;
  std::uint64_t raw = 0;
  const char* text = nullptr;  // DW_FORM_string

  Value() = default;
  explicit Value(const FormValue& read)
      : present(true), form(read.form), raw(read.raw), text(read.text) {}
};

struct DwarfResolver::Entry {
  std::uint64_t offset = 0;
  const Abbreviation* abbreviation = nullptr;  // null for the entry that ends a list
  Value sibling, low, high, ranges, name, linkage, origin, declaration_ref, call_file, call_line,
      stmt_list, comp_dir, str_offsets_base, addr_base, rnglists_base;

  std::uint64_t tag() const { return abbreviation != nullptr ? abbreviation->tag : 0; }
  bool has_children() const { return abbreviation != nullptr && abbreviation->has_children; }
};

struct DwarfResolver::Unit {
  File* file = nullptr;  // the file whose .debug_info holds the unit
  UnitShape shape;
  std::uint64_t end = 0;  // one past the unit in .debug_info
  enum class State { kClosed, kOpen, kUnusable } state = State::kClosed;
  AbbreviationTable abbreviations;
  Entry entry;  // the unit's own
  std::uint64_t base_address = 0;
  std::uint64_t str_offsets_base = 0;
  std::uint64_t addr_base = 0;
  std::uint64_t rnglists_base = 0;
  bool lines_read = false;
  std::unique_ptr<LineProgram> lines;  // null when the unit has none this reader can read
};

namespace {

DwarfResolver::Value* slot_of(DwarfResolver::Entry& entry, std::uint32_t name) {
  switch (name) {
    case DW_AT_sibling:
      return &entry.sibling;
    case DW_AT_low_pc:
      return &entry.low;
    case DW_AT_high_pc:
      return &entry.high;
    case DW_AT_ranges:
      return &entry.ranges;
    case DW_AT_name:
      return &entry.name;
    case DW_AT_linkage_name:
    case DW_AT_MIPS_linkage_name:
      return &entry.linkage;
    case DW_AT_abstract_origin:
      return &entry.origin;
    case DW_AT_specification:
      return &entry.declaration_ref;
    case DW_AT_call_file:
      return &entry.call_file;
    case DW_AT_call_line:
      return &entry.call_line;
    case DW_AT_stmt_list:
      return &entry.stmt_list;
    case DW_AT_comp_dir:
      return &entry.comp_dir;
    case DW_AT_str_offsets_base:
      return &entry.str_offsets_base;
    case DW_AT_addr_base:
    case DW_AT_GNU_addr_base:
      return &entry.addr_base;
    case DW_AT_rnglists_base:
      return &entry.rnglists_base;
    default:
      return nullptr;
  }
}

// A reference within the unit's own file made absolute: unit-relative ones, and the offset
// itself for DW_FORM_ref_addr.
bool reference_of(const UnitShape& unit, const DwarfResolver::Value& value, std::uint64_t& offset) {
  if (!value.present) return false;
  if (is_unit_reference(value.form)) {
    offset = unit.unit_offset + value.raw;
    return true;
  }
  offset = value.raw;
  return value.form == DW_FORM_ref_addr;
}

}  // namespace

DwarfResolver::DwarfResolver(const DwarfSections& sections, const DwarfSections* supplementary) {
  module_.sections = sections;
  if (supplementary != nullptr) supplementary_.sections = *supplementary;
}

DwarfResolver::~DwarfResolver() = default;

bool DwarfResolver::describe(std::uint64_t address, AddressInfo& info) {
  info = AddressInfo();
  Unit* unit = unit_at(address);
  if (unit == nullptr) return false;
  find_line(*unit, address, info);
  const unsigned char* at = unit->file->sections.info.data + unit->shape.unit_entry;
  Entry unit_entry;
  Entry function;
  std::uint64_t start = 0;
  if (!read_entry(*unit, at, unit_entry) || !unit_entry.has_children()) return true;
  const unsigned char* const children = at;
  if (!find_top_level_function(*unit, address, function, start) &&
      find_function(*unit, at, address, 0, false, function, start) != kFound) {
    // The member functions of a class local to a function may be defined inside that function's
    // entry: looked for in every entry, but only when nothing at the top holds the address.
    at = children;
    if (find_function(*unit, at, address, 0, true, function, start) != kFound) return true;
  }
  info.has_function = true;
  info.function = shown_name(*unit, function);
  info.function_start = start;
  std::vector<Entry> calls;
  find_inlined_calls(*unit, function, address, calls);
  for (const Entry& call : calls) {
    InlinedCall shown;
    shown.function = shown_name(*unit, call);
    const char* file = nullptr;
    if (call.call_file.present && call.call_line.present && unit->lines != nullptr &&
        (file = unit->lines->file_name(call.call_file.raw)) != nullptr) {
      shown.call_file = file;
      shown.call_line = static_cast<std::uint32_t>(call.call_line.raw);
    }
    info.calls.push_back(std::move(shown));
  }
  return true;
}

// The headers of every unit of `file` (a few bytes each); everything else is read when the unit
// is first asked about.
void DwarfResolver::read_units(File& file) {
  if (file.units_read) return;
  file.units_read = true;
  const unsigned char* const begin = file.sections.info.data;
  const unsigned char* const end = begin + file.sections.info.size;
  const unsigned char* at = begin;
  while (begin != nullptr && at < end) {
    auto unit = std::make_unique<Unit>();
    unit->file = &file;
    unit->shape.unit_offset = static_cast<std::uint64_t>(at - begin);
    std::uint64_t length = 0;
    std::uint64_t version = 0;
    std::uint64_t type = DW_UT_compile;
    std::uint64_t address_size = 0;
    std::uint64_t abbrev = 0;
    if (!read_fixed(at, end, 4, length)) break;
    unit->shape.offset_size = 4;
    if (length == 0xFFFFFFFF) {
      unit->shape.offset_size = 8;
      if (!read_fixed(at, end, 8, length)) break;
    } else if (length >= 0xFFFFFFF0) {
      break;
    }
    if (length > static_cast<std::uint64_t>(end - at)) break;
    const unsigned char* unit_end = at + length;
    if (!read_fixed(at, unit_end, 2, version) || version < 2 || version > 5) break;
    const bool read = version >= 5 ? read_fixed(at, unit_end, 1, type) &&
                                         read_fixed(at, unit_end, 1, address_size) &&
                                         read_fixed(at, unit_end, unit->shape.offset_size, abbrev)
                                   : read_fixed(at, unit_end, unit->shape.offset_size, abbrev) &&
                                         read_fixed(at, unit_end, 1, address_size);
    if (!read) break;
    // Skeleton and split units carry an id, type units a signature and a type offset.
    std::uint64_t skipped = 0;
    if (type == DW_UT_skeleton || type == DW_UT_split_compile) skipped = 8;
    if (type == DW_UT_type || type == DW_UT_split_type) skipped = 8 + unit->shape.offset_size;
    if (!skip_bytes(at, unit_end, skipped)) break;
    unit->shape.version = static_cast<unsigned>(version);
    unit->shape.address_size = static_cast<unsigned>(address_size);
    unit->shape.abbrev_offset = abbrev;
    unit->shape.unit_entry = static_cast<std::uint64_t>(at - begin);
    unit->end = static_cast<std::uint64_t>(unit_end - begin);
    if (type == DW_UT_compile || type == DW_UT_partial) file.units.push_back(std::move(unit));
    at = unit_end;
  }
}

DwarfResolver::Unit* DwarfResolver::unit_at(std::uint64_t address) {
  read_units(module_);
  if (ranges_state_ == Ranges::kUnread) {
    const SectionBytes& aranges = module_.sections.aranges;
    ranges_state_ = ranges_.read(aranges.data, aranges.size) ? Ranges::kRead : Ranges::kUnusable;
  }
  std::uint64_t listed = 0;
  if (ranges_state_ == Ranges::kRead && ranges_.unit_at(address, listed)) {
    Unit* unit = unit_holding_offset(module_, listed);
    if (unit != nullptr && unit->shape.unit_offset == listed && open(*unit)) return unit;
  }
  // Not listed: the units' own extents say.
  for (auto& unit : module_.units) {
    std::uint64_t start = 0;
    if (open(*unit) && holds(*unit, unit->entry, address, start)) return unit.get();
  }
  return nullptr;
}

DwarfResolver::Unit* DwarfResolver::unit_holding_offset(File& file, std::uint64_t offset) {
  read_units(file);
  const auto after = std::upper_bound(
      file.units.begin(), file.units.end(), offset,
      [](std::uint64_t wanted, const auto& unit) { return wanted < unit->shape.unit_offset; });
  if (after == file.units.begin()) return nullptr;
  Unit* unit = std::prev(after)->get();
  return offset < unit->end ? unit : nullptr;
}

bool DwarfResolver::open(Unit& unit) {
  if (unit.state != Unit::State::kClosed) return unit.state == Unit::State::kOpen;
  unit.state = Unit::State::kUnusable;
  if (unit.shape.address_size > 8 || unit.shape.address_size == 0 ||
      !unit.abbreviations.read(unit.file->sections.abbrev.data, unit.file->sections.abbrev.size,
                               unit.shape.abbrev_offset, unit.shape)) {
    return false;
  }
  const unsigned char* at = unit.file->sections.info.data + unit.shape.unit_entry;
  if (!read_entry(unit, at, unit.entry) || unit.entry.abbreviation == nullptr) return false;
  const Entry& entry = unit.entry;
  unit.str_offsets_base = entry.str_offsets_base.present ? entry.str_offsets_base.raw : 0;
  unit.addr_base = entry.addr_base.present ? entry.addr_base.raw : 0;
  unit.rnglists_base = entry.rnglists_base.present ? entry.rnglists_base.raw : 0;
  unit.state = Unit::State::kOpen;  // address_of needs the bases, read above
  std::uint64_t base = 0;
  if (entry.low.present && address_of(unit, entry.low.form, entry.low.raw, base)) {
    unit.base_address = base;
  }
  return true;
}

bool DwarfResolver::read_entry(Unit& unit, const unsigned char*& at, Entry& entry) const {
  entry = Entry();
  const unsigned char* const begin = unit.file->sections.info.data;
  const unsigned char* const end = begin + unit.end;
  if (at < begin || at >= end) return false;
  entry.offset = static_cast<std::uint64_t>(at - begin);
  std::uint64_t code = 0;
  if (!read_uleb(at, end, code)) return false;
  if (code == 0) return true;
  entry.abbreviation = unit.abbreviations.find(code);
  if (entry.abbreviation == nullptr) return false;
  const AttributeForm* declared = unit.abbreviations.attributes(*entry.abbreviation);
  for (std::uint32_t i = 0; i < entry.abbreviation->attribute_count; ++i) {
    FormValue value;
    if (!read_form_value(declared[i].form, declared[i].implicit_value, unit.shape, at, end,
                         value)) {
      return false;
    }
    if (Value* slot = slot_of(entry, declared[i].name)) *slot = Value(value);
  }
  return true;
}

bool DwarfResolver::entry_at(File& file, std::uint64_t offset, Unit*& unit, Entry& entry) {
  unit = unit_holding_offset(file, offset);
  if (unit == nullptr || offset < unit->shape.unit_entry || !open(*unit)) return false;
  const unsigned char* at = file.sections.info.data + offset;
  return read_entry(*unit, at, entry) && entry.abbreviation != nullptr;
}

// Where the reference `value` of an entry of `unit` leads: into the unit's own file, or into the
// supplementary file.
bool DwarfResolver::referred_entry(const Unit& unit, const Value& value, File*& file,
                                   std::uint64_t& offset) {
  if (value.present && is_supplementary_reference(value.form)) {
    file = &supplementary_;
    offset = value.raw;
    return true;
  }
  file = unit.file;
  return reference_of(unit.shape, value, offset);
}

bool DwarfResolver::skip_children(Unit& unit, const unsigned char*& at, const Entry& entry,
                                  int depth) const {
  std::uint64_t sibling = 0;
  if (reference_of(unit.shape, entry.sibling, sibling)) {
    const unsigned char* const info = unit.file->sections.info.data;
    const std::uint64_t here = static_cast<std::uint64_t>(at - info);
    if (sibling < here || sibling > unit.end) return false;
    at = info + sibling;
    return true;
  }
  if (depth >= kMaxDepth) return false;
  for (;;) {
    Entry child;
    if (!read_entry(unit, at, child)) return false;
    if (child.abbreviation == nullptr) return true;
    if (child.has_children() && !skip_children(unit, at, child, depth + 1)) return false;
  }
}

bool DwarfResolver::holds(Unit& unit, const Entry& entry, std::uint64_t address,
                          std::uint64_t& start) const {
  if (entry.ranges.present) return ranges_hold(unit, entry, address, start);
  std::uint64_t low = 0;
  if (!entry.low.present || !entry.high.present ||
      !address_of(unit, entry.low.form, entry.low.raw, low)) {
    return false;
  }
  std::uint64_t end = 0;
  if (is_constant(entry.high.form)) {
    end = low + entry.high.raw;
  } else if (!address_of(unit, entry.high.form, entry.high.raw, end)) {
    return false;
  }
  start = low;
  return low <= address && address < end;
}

bool DwarfResolver::ranges_hold(Unit& unit, const Entry& entry, std::uint64_t address,
                                std::uint64_t& start) const {
  const unsigned size = unit.shape.address_size;
  const std::uint64_t largest =
      size == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * size)) - 1;
  std::uint64_t base = unit.base_address;
  const auto found = [&](std::uint64_t low, std::uint64_t end) {
    if (low <= address && address < end) {
      start = low;
      return true;
    }
    return false;
  };
  if (unit.shape.version < 5) {
    const SectionBytes& section = unit.file->sections.ranges;
    if (section.empty() || entry.ranges.raw >= section.size) return false;
    const unsigned char* at = section.data + entry.ranges.raw;
    const unsigned char* end = section.data + section.size;
    for (std::size_t i = 0; i < kMaxRangeEntries; ++i) {
      std::uint64_t low = 0;
      std::uint64_t high = 0;
      if (!read_fixed(at, end, size, low) || !read_fixed(at, end, size, high)) return false;
      if (low == 0 && high == 0) return false;
      if (low == largest) {
        base = high;
      } else if (found(base + low, base + high)) {
        return true;
      }
    }
    return false;
  }
  const SectionBytes& section = unit.file->sections.rnglists;
  if (section.empty()) return false;
  std::uint64_t offset = entry.ranges.raw;
  if (entry.ranges.form == DW_FORM_rnglistx) {
    // An index into the table of offsets after the unit's DW_AT_rnglists_base.
    const unsigned offset_size = unit.shape.offset_size;
    if (unit.rnglists_base > section.size ||
        entry.ranges.raw > (section.size - unit.rnglists_base) / offset_size) {
      return false;
    }
    const unsigned char* slot = section.data + unit.rnglists_base + entry.ranges.raw * offset_size;
    std::uint64_t relative = 0;
    if (!read_fixed(slot, section.data + section.size, offset_size, relative)) return false;
    offset = unit.rnglists_base + relative;
  }
  if (offset >= section.size) return false;
  const unsigned char* at = section.data + offset;
  const unsigned char* end = section.data + section.size;
  for (std::size_t i = 0; i < kMaxRangeEntries; ++i) {
    std::uint64_t kind = 0;
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    if (!read_u8(at, end, kind)) return false;
    switch (kind) {
      case DW_RLE_end_of_list:
        return false;
      case DW_RLE_base_addressx:
        if (!read_uleb(at, end, first) || !address_of(unit, DW_FORM_addrx, first, base)) {
          return false;
        }
        break;
      case DW_RLE_startx_endx:
        if (!read_uleb(at, end, first) || !read_uleb(at, end, second) ||
            !address_of(unit, DW_FORM_addrx, first, first) ||
            !address_of(unit, DW_FORM_addrx, second, second)) {
          return false;
        }
        if (found(first, second)) return true;
        break;
      case DW_RLE_startx_length:
        if (!read_uleb(at, end, first) || !read_uleb(at, end, second) ||
            !address_of(unit, DW_FORM_addrx, first, first)) {
          return false;
        }
        if (found(first, first + second)) return true;
        break;
      case DW_RLE_offset_pair:
        if (!read_uleb(at, end, first) || !read_uleb(at, end, second)) return false;
        if (found(base + first, base + second)) return true;
        break;
      case DW_RLE_base_address:
        if (!read_fixed(at, end, size, base)) return false;
        break;
      case DW_RLE_start_end:
        if (!read_fixed(at, end, size, first) || !read_fixed(at, end, size, second)) return false;
        if (found(first, second)) return true;
        break;
      case DW_RLE_start_length:
        if (!read_fixed(at, end, size, first) || !read_uleb(at, end, second)) return false;
        if (found(first, first + second)) return true;
        break;
      default:
        return false;
    }
  }
  return false;
}

namespace {

struct HoldsQuestion {
  DwarfResolver* resolver;
  DwarfResolver::Unit* unit;
  std::uint64_t address;
};

}  // namespace

bool DwarfResolver::entry_holds(void* question, std::uint64_t entry_offset) {
  auto& asked = *static_cast<HoldsQuestion*>(question);
  const unsigned char* at = asked.unit->file->sections.info.data + entry_offset;
  Entry entry;
  std::uint64_t start = 0;
  return asked.resolver->read_entry(*asked.unit, at, entry) &&
         asked.resolver->holds(*asked.unit, entry, asked.address, start);
}

// The quick pass of dwarf_entries.h over the top level and the namespaces, which steps over
// most entries without reading their attributes: most functions are found there, and a unit of
// template-heavy C++ has thousands of entries at its top level.
bool DwarfResolver::find_top_level_function(Unit& unit, std::uint64_t address, Entry& function,
                                            std::uint64_t& start) {
  HoldsQuestion question{this, &unit, address};
  std::uint64_t offset = 0;
  const SectionBytes& info = unit.file->sections.info;
  if (find_function_entry(info.data, info.size, unit.shape, unit.abbreviations, address,
                          &entry_holds, &question, offset) != EntrySearch::kFound ||
      offset >= unit.end) {
    return false;
  }
  const unsigned char* at = info.data + offset;
  return read_entry(unit, at, function) && function.tag() == DW_TAG_subprogram &&
         holds(unit, function, address, start);
}

int DwarfResolver::find_function(Unit& unit, const unsigned char*& at, std::uint64_t address,
                                 int depth, bool everywhere, Entry& function,
                                 std::uint64_t& start) {
  if (depth >= kMaxDepth) return kBroken;
  for (;;) {
    Entry entry;
    if (!read_entry(unit, at, entry)) return kBroken;
    if (entry.abbreviation == nullptr) return kNotFound;
    if (entry.tag() == DW_TAG_subprogram && holds(unit, entry, address, start)) {
      function = entry;
      return kFound;
    }
    if (!entry.has_children()) continue;
    if (everywhere || holds_definitions(entry.tag())) {
      const int inside = find_function(unit, at, address, depth + 1, everywhere, function, start);
      if (inside != kNotFound) return inside;
    } else if (!skip_children(unit, at, entry, depth)) {
      return kBroken;
    }
  }
}

// In each scope, the first child scope that holds the address is entered; a function nested in
// another is the innermost function, so only the calls inside it count.
void DwarfResolver::find_inlined_calls(Unit& unit, const Entry& function, std::uint64_t address,
                                       std::vector<Entry>& calls) {
  const unsigned char* at = unit.file->sections.info.data + function.offset;
  Entry scope;
  if (!read_entry(unit, at, scope)) return;
  for (int depth = 0; scope.has_children() && depth < kMaxDepth; ++depth) {
    bool entered = false;
    for (;;) {
      Entry child;
      std::uint64_t start = 0;
      if (!read_entry(unit, at, child) || child.abbreviation == nullptr) break;
      if (is_code_scope(child.tag()) && holds(unit, child, address, start)) {
        if (child.tag() == DW_TAG_subprogram) calls.clear();
        if (child.tag() == DW_TAG_inlined_subroutine) calls.push_back(child);
        scope = child;
        entered = true;
        break;
      }
      if (child.has_children() && !skip_children(unit, at, child, depth)) break;
    }
    if (!entered) break;
  }
  std::reverse(calls.begin(), calls.end());
}

std::string DwarfResolver::shown_name(Unit& unit, const Entry& entry) {
  Unit* declaration_unit = &unit;
  Entry declaration = entry;
  const char* linkage = nullptr;
  for (int link = 0; link < kMaxLinks; ++link) {
    if (linkage == nullptr && declaration.linkage.present) {
      linkage = string_of(*declaration_unit, declaration.linkage.form, declaration.linkage.raw,
                          declaration.linkage.text);
    }
    File* next_file = nullptr;
    std::uint64_t next = 0;
    if (!referred_entry(*declaration_unit, declaration.origin, next_file, next) &&
        !referred_entry(*declaration_unit, declaration.declaration_ref, next_file, next)) {
      break;
    }
    Unit* next_unit = nullptr;
    Entry next_entry;
    if (!entry_at(*next_file, next, next_unit, next_entry)) break;
    declaration_unit = next_unit;
    declaration = next_entry;
  }
  std::string shown;
  if (linkage != nullptr) {
    shown = shown_function_name(linkage, true);
    if (!still_mangled(shown)) return shown;
  }
  const char* own = declaration.name.present
                        ? string_of(*declaration_unit, declaration.name.form, declaration.name.raw,
                                    declaration.name.text)
                        : nullptr;
  if (own == nullptr) return shown;
  return without_clone_tags(scope_prefix(*declaration_unit, declaration.offset) + own);
}

// The namespaces and classes around the entry at `target`, outermost first, each followed by
// "::". Found by a walk from the top of the unit that steps over every subtree that ends before
// the entry.
std::string DwarfResolver::scope_prefix(Unit& unit, std::uint64_t target) {
  std::vector<Entry> path;
  const unsigned char* const info = unit.file->sections.info.data;
  const unsigned char* at = info + unit.shape.unit_entry;
  Entry top;
  if (!read_entry(unit, at, top) || !top.has_children()) return std::string();
  bool found = false;
  while (!found && path.size() < static_cast<std::size_t>(kMaxDepth)) {
    Entry entry;
    if (!read_entry(unit, at, entry)) return std::string();
    if (entry.abbreviation == nullptr) {
      if (path.empty()) return std::string();
      path.pop_back();
      continue;
    }
    if (entry.offset == target) {
      found = true;
    } else if (entry.offset > target) {
      return std::string();
    } else if (entry.has_children()) {
      std::uint64_t sibling = 0;
      const auto here = static_cast<std::uint64_t>(at - info);
      if (reference_of(unit.shape, entry.sibling, sibling) && sibling <= target &&
          sibling >= here && sibling <= unit.end) {
        at = info + sibling;
      } else {
        path.push_back(entry);
      }
    }
  }
  if (!found) return std::string();
  std::string prefix;
  for (auto scope = path.rbegin(); scope != path.rend(); ++scope) {
    if (!is_named_scope(scope->tag())) break;
    const char* name = scope->name.present
                           ? string_of(unit, scope->name.form, scope->name.raw, scope->name.text)
                           : nullptr;
    if (name == nullptr && scope->tag() != DW_TAG_namespace) break;
    prefix.insert(0, std::string(name != nullptr ? name : "(anonymous namespace)") + "::");
  }
  return prefix;
}

const char* DwarfResolver::string_of(const Unit& unit, std::uint32_t form, std::uint64_t raw,
                                     const char* inline_text) const {
  const auto at_offset = [](const SectionBytes& section, std::uint64_t offset) -> const char* {
    if (section.empty() || offset >= section.size) return nullptr;
    const unsigned char* at = section.data + offset;
    const char* text = nullptr;
    return read_cstring(at, section.data + section.size, text) ? text : nullptr;
  };
  const DwarfSections& own = unit.file->sections;
  switch (form) {
    case DW_FORM_string:
      return inline_text;
    case DW_FORM_strp:
      return at_offset(own.str, raw);
    case DW_FORM_line_strp:
      return at_offset(own.line_str, raw);
    case DW_FORM_GNU_strp_alt:
    case DW_FORM_strp_sup:
      return at_offset(supplementary_.sections.str, raw);
    case DW_FORM_strx:
    case DW_FORM_strx1:
    case DW_FORM_strx2:
    case DW_FORM_strx3:
    case DW_FORM_strx4: {
      const SectionBytes& offsets = own.str_offsets;
      const unsigned size = unit.shape.offset_size;
      if (offsets.empty() || unit.str_offsets_base > offsets.size ||
          raw >= (offsets.size - unit.str_offsets_base) / size) {
        return nullptr;
      }
      const unsigned char* slot = offsets.data + unit.str_offsets_base + raw * size;
      std::uint64_t offset = 0;
      if (!read_fixed(slot, offsets.data + offsets.size, size, offset)) return nullptr;
      return at_offset(own.str, offset);
    }
    default:
      return nullptr;
  }
}

bool DwarfResolver::address_of(const Unit& unit, std::uint32_t form, std::uint64_t raw,
                               std::uint64_t& address) const {
  if (form == DW_FORM_addr) {
    address = raw;
    return true;
  }
  if (form != DW_FORM_addrx && form != DW_FORM_addrx1 && form != DW_FORM_addrx2 &&
      form != DW_FORM_addrx3 && form != DW_FORM_addrx4 && form != DW_FORM_GNU_addr_index) {
    return false;
  }
  const SectionBytes& table = unit.file->sections.addr;
  const unsigned size = unit.shape.address_size;
  if (table.empty() || size == 0 || unit.addr_base > table.size ||
      raw >= (table.size - unit.addr_base) / size) {
    return false;
  }
  const unsigned char* slot = table.data + unit.addr_base + raw * size;
  return read_fixed(slot, table.data + table.size, size, address);
}

void DwarfResolver::find_line(Unit& unit, std::uint64_t address, AddressInfo& info) {
  if (!unit.lines_read) {
    unit.lines_read = true;
    const Entry& entry = unit.entry;
    const DwarfSections& own = unit.file->sections;
    if (entry.stmt_list.present && !own.line.empty()) {
      LineSections sections;
      sections.line = own.line.data;
      sections.line_size = own.line.size;
      sections.line_str = own.line_str.data;
      sections.line_str_size = own.line_str.size;
      sections.str = own.str.data;
      sections.str_size = own.str.size;
      sections.supplementary_str = supplementary_.sections.str.data;
      sections.supplementary_str_size = supplementary_.sections.str.size;
      const char* directory =
          entry.comp_dir.present
              ? string_of(unit, entry.comp_dir.form, entry.comp_dir.raw, entry.comp_dir.text)
              : nullptr;
      auto program = std::make_unique<LineProgram>();
      if (program->open(sections, entry.stmt_list.raw, directory)) unit.lines = std::move(program);
    }
  }
  if (unit.lines == nullptr) return;
  LineRow row;
  if (unit.lines->find(address, row) != LineProgram::Found::kRow || row.line < 0) return;
  const char* file = unit.lines->file_name(row.file);
  if (file == nullptr) return;
  info.has_line = true;
  info.file = file;
  info.line = static_cast<std::uint32_t>(row.line);
  info.line_address = row.address;
}

}  // namespace quillmark::debuginfo
