#include "debuginfo/dwarf_entries.h"

#include <cstdint>

#include "debuginfo/attribute_forms.h"
#include "debuginfo/dwarf_constants.h"

namespace quillmark::debuginfo {

namespace {

// Deeper nesting than any compiler writes at the levels read here: a bound for damaged input.
constexpr int kMaxDepth = 64;
// Codes below this are kept in a vector indexed by code.
constexpr std::uint64_t kDenseCodes = 4096;
constexpr std::size_t kAttributesReserved = 4096;
constexpr std::size_t kDenseReserved = 512;

bool is_constant_form(std::uint64_t form) {
  return form == DW_FORM_data1 || form == DW_FORM_data2 || form == DW_FORM_data4 ||
         form == DW_FORM_data8 || form == DW_FORM_udata;
}

bool is_unit_reference(std::uint64_t form) {
  return form == DW_FORM_ref1 || form == DW_FORM_ref2 || form == DW_FORM_ref4 ||
         form == DW_FORM_ref8 || form == DW_FORM_ref_udata;
}

bool is_read_attribute(std::uint64_t name) {
  return name == DW_AT_sibling || name == DW_AT_low_pc || name == DW_AT_high_pc ||
         name == DW_AT_ranges;
}

// Works out the fixed layout of `abbreviation`, if it has one, and where the attributes the
// search reads are.
bool lay_out(Abbreviation& abbreviation, const AttributeForm* declared, const UnitShape& unit) {
  std::uint64_t size = 0;
  bool fixed = true;
  for (std::uint32_t i = 0; i < abbreviation.attribute_count; ++i) {
    const int value_size = fixed_form_size(declared[i].form, unit);
    if (is_read_attribute(declared[i].name)) {
      // More than four of them (an attribute given twice): malformed, left to libdw.
      if (abbreviation.read_count == 4) return false;
      abbreviation.reads[abbreviation.read_count++] = {i, static_cast<std::uint32_t>(size)};
    }
    if (value_size < 0) fixed = false;
    size += value_size < 0 ? 0 : static_cast<std::uint64_t>(value_size);
  }
  if (fixed && size < Abbreviation::kVariableSize) {
    abbreviation.fixed_size = static_cast<std::uint32_t>(size);
  }
  return true;
}

// What one entry says about where it ends and what code it covers.
struct EntryFacts {
  const Abbreviation* abbreviation = nullptr;  // null for the entry that ends a list
  std::uint64_t sibling = 0;                   // offset of the next sibling; 0 when not given
  bool has_low = false;
  bool has_high = false;
  bool high_is_offset = false;
  bool extent_unknown = false;  // ranges or indexed addresses: libdw must say
  std::uint64_t low = 0;
  std::uint64_t high = 0;
};

void note_attribute(const AttributeForm& attribute, std::uint64_t value, const UnitShape& unit,
                    EntryFacts& facts) {
  switch (attribute.name) {
    case DW_AT_sibling:
      if (is_unit_reference(attribute.form)) facts.sibling = unit.unit_offset + value;
      if (attribute.form == DW_FORM_ref_addr) facts.sibling = value;
      break;
    case DW_AT_low_pc:
      facts.has_low = attribute.form == DW_FORM_addr;
      facts.extent_unknown |= !facts.has_low;
      facts.low = value;
      break;
    case DW_AT_high_pc:
      facts.has_high = attribute.form == DW_FORM_addr || is_constant_form(attribute.form);
      facts.high_is_offset = attribute.form != DW_FORM_addr;
      facts.extent_unknown |= !facts.has_high;
      facts.high = value;
      break;
    case DW_AT_ranges:
      facts.extent_unknown = true;
      break;
    default:
      break;
  }
}

class EntryReader {
 public:
  EntryReader(const unsigned char* info, std::size_t size, const UnitShape& unit,
              const AbbreviationTable& abbreviations)
      : info_(info), end_(info + size), unit_(unit), abbreviations_(abbreviations) {}

  const unsigned char* at(std::uint64_t offset) const {
    return offset <= static_cast<std::uint64_t>(end_ - info_) ? info_ + offset : nullptr;
  }
  std::uint64_t offset_of(const unsigned char* position) const {
    return static_cast<std::uint64_t>(position - info_);
  }

  // Reads the entry at `position` and moves past its attributes.
  bool read(const unsigned char*& position, EntryFacts& facts) const {
    facts = EntryFacts();
    std::uint64_t code = 0;
    if (!read_uleb(position, end_, code)) return false;
    if (code == 0) return true;
    facts.abbreviation = abbreviations_.find(code);
    if (facts.abbreviation == nullptr) return false;
    const Abbreviation& abbreviation = *facts.abbreviation;
    const AttributeForm* declared = abbreviations_.attributes(abbreviation);
    if (abbreviation.fixed_size != Abbreviation::kVariableSize) {
      if (abbreviation.fixed_size > static_cast<std::size_t>(end_ - position)) return false;
      for (std::uint32_t i = 0; i < abbreviation.read_count; ++i) {
        const AttributeForm& attribute = declared[abbreviation.reads[i].index];
        const unsigned char* value_at = position + abbreviation.reads[i].offset;
        FormValue value;
        if (!read_form_value(attribute.form, attribute.implicit_value, unit_, value_at, end_,
                             value)) {
          return false;
        }
        note_attribute(attribute, value.raw, unit_, facts);
      }
      position += abbreviation.fixed_size;
      return true;
    }
    for (std::uint32_t i = 0; i < abbreviation.attribute_count; ++i) {
      const AttributeForm& attribute = declared[i];
      FormValue value;
      if (!read_form_value(attribute.form, attribute.implicit_value, unit_, position, end_, value))
        return false;
      note_attribute(attribute, value.raw, unit_, facts);
    }
    return true;
  }

  // Moves past the children of an entry just read, by its sibling reference where it has one.
  bool skip_children(const unsigned char*& position, const EntryFacts& facts, int depth) const {
    if (facts.sibling != 0) {
      const unsigned char* next = at(facts.sibling);
      if (next == nullptr || next <= position) return false;
      position = next;
      return true;
    }
    if (depth >= kMaxDepth) return false;
    for (;;) {
      EntryFacts child;
      if (!read(position, child)) return false;
      if (child.abbreviation == nullptr) return true;
      if (child.abbreviation->has_children && !skip_children(position, child, depth + 1)) {
        return false;
      }
    }
  }

 private:
  const unsigned char* info_;
  const unsigned char* end_;
  const UnitShape& unit_;
  const AbbreviationTable& abbreviations_;
};

struct Search {
  const EntryReader& reader;
  std::uint64_t address;
  HoldsAddress holds;
  void* context;
};

// Whether the function entry at `offset`, described by `facts`, holds the address.
bool function_holds(const Search& search, const EntryFacts& facts, std::uint64_t offset) {
  if (facts.extent_unknown || facts.has_low != facts.has_high) {
    return search.holds(search.context, offset);
  }
  if (!facts.has_low) return false;  // a declaration: no code
  const std::uint64_t end = facts.high_is_offset ? facts.low + facts.high : facts.high;
  return facts.low <= search.address && search.address < end;
}

// Searches the list of sibling entries that starts at `position`, up to the entry that ends
// it, descending into namespaces.
EntrySearch search_list(const Search& search, const unsigned char*& position, int depth,
                        std::uint64_t& entry_offset) {
  if (depth >= kMaxDepth) return EntrySearch::kUnreadable;
  for (;;) {
    const std::uint64_t offset = search.reader.offset_of(position);
    EntryFacts facts;
    if (!search.reader.read(position, facts)) return EntrySearch::kUnreadable;
    if (facts.abbreviation == nullptr) return EntrySearch::kNotFound;
    const std::uint64_t tag = facts.abbreviation->tag;
    if (tag == DW_TAG_subprogram && function_holds(search, facts, offset)) {
      entry_offset = offset;
      return EntrySearch::kFound;
    }
    if (!facts.abbreviation->has_children) continue;
    if (tag == DW_TAG_namespace || tag == DW_TAG_module) {
      const EntrySearch inside = search_list(search, position, depth + 1, entry_offset);
      if (inside != EntrySearch::kNotFound) return inside;
    } else if (!search.reader.skip_children(position, facts, depth)) {
      return EntrySearch::kUnreadable;
    }
  }
}

}  // namespace

bool AbbreviationTable::read(const unsigned char* section, std::size_t size, std::uint64_t offset,
                             const UnitShape& unit) {
  if (section == nullptr || offset >= size) return false;
  const unsigned char* at = section + offset;
  const unsigned char* end = section + size;
  // Room for the tables of large units up front: growing them step by step copies them again
  // and again, into memory that is new to the process every time.
  attributes_.reserve(kAttributesReserved);
  dense_.reserve(kDenseReserved);
  for (;;) {
    std::uint64_t code = 0;
    if (!read_uleb(at, end, code)) return false;
    if (code == 0) return true;
    Abbreviation abbreviation;
    std::uint64_t children = 0;
    if (!read_uleb(at, end, abbreviation.tag) || !read_u8(at, end, children) ||
        attributes_.size() > UINT32_MAX) {
      return false;
    }
    abbreviation.has_children = children != 0;
    abbreviation.first_attribute = static_cast<std::uint32_t>(attributes_.size());
    for (;;) {
      std::uint64_t name = 0;
      std::uint64_t form = 0;
      if (!read_uleb(at, end, name) || !read_uleb(at, end, form)) return false;
      if (name == 0 && form == 0) break;
      if (name > UINT32_MAX || form > UINT32_MAX) return false;
      AttributeForm attribute;
      attribute.name = static_cast<std::uint32_t>(name);
      attribute.form = static_cast<std::uint32_t>(form);
      if (attribute.form == DW_FORM_implicit_const &&
          !read_sleb(at, end, attribute.implicit_value)) {
        return false;
      }
      attributes_.push_back(attribute);
    }
    abbreviation.attribute_count =
        static_cast<std::uint32_t>(attributes_.size()) - abbreviation.first_attribute;
    if (!lay_out(abbreviation, attributes_.data() + abbreviation.first_attribute, unit)) {
      return false;
    }
    if (code < kDenseCodes) {
      if (code >= dense_.size()) dense_.resize(code + 1);
      dense_[code] = abbreviation;
    } else {
      sparse_[code] = abbreviation;
    }
  }
}

const Abbreviation* AbbreviationTable::find(std::uint64_t code) const {
  if (code < dense_.size()) return dense_[code].tag != 0 ? &dense_[code] : nullptr;
  const auto found = sparse_.find(code);
  return found != sparse_.end() ? &found->second : nullptr;
}

EntrySearch find_function_entry(const unsigned char* info, std::size_t info_size,
                                const UnitShape& unit, const AbbreviationTable& abbreviations,
                                std::uint64_t address, HoldsAddress holds, void* context,
                                std::uint64_t& entry_offset) {
  if (unit.address_size > 8 || (unit.offset_size != 4 && unit.offset_size != 8)) {
    return EntrySearch::kUnreadable;
  }
  const EntryReader reader(info, info_size, unit, abbreviations);
  const unsigned char* position = reader.at(unit.unit_entry);
  EntryFacts unit_facts;
  if (position == nullptr || !reader.read(position, unit_facts) ||
      unit_facts.abbreviation == nullptr) {
    return EntrySearch::kUnreadable;
  }
  if (!unit_facts.abbreviation->has_children) return EntrySearch::kNotFound;
  const Search search{reader, address, holds, context};
  return search_list(search, position, 0, entry_offset);
}

}  // namespace quillmark::debuginfo
