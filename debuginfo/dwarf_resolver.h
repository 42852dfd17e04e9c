// What a module's DWARF says about one code address: the function that holds it, the inlined
// calls around it and its source line, read straight from the bytes of the module's sections
// (dwarf_sections.h), whatever file they came from.
//
// - Unit: the one `.debug_aranges` lists for the address, else the first whose unit entry's
//   DW_AT_low_pc/DW_AT_high_pc or DW_AT_ranges hold it.
// - Function: the first DW_TAG_subprogram with code at the address among the unit's top-level
//   entries and those inside namespaces and classes (else anywhere in the unit: the members of a
//   class local to a function may be defined inside it); then, as a debugger does, the chain of
//   DW_TAG_inlined_subroutine entries inside it that hold the address, each with the
//   DW_AT_call_file and DW_AT_call_line of its call.
// - Names: the linkage name (found through DW_AT_abstract_origin and DW_AT_specification),
//   demangled and shown without parameter list (symbol_names.h); where there is none or the
//   demangler cannot read it, DW_AT_name qualified by the namespaces and classes around the
//   declaration.
// - Line: the row line_program.h chooses, its file joined with the unit's directory.
// - Supplementary file: DWARF that dwz has shared out between modules refers to entries and
//   strings of another file (DW_FORM_GNU_ref_alt, DW_FORM_GNU_strp_alt, DW_FORM_ref_sup4/8,
//   DW_FORM_strp_sup). Given that file's sections, names and declarations are read there; without
//   them such names are missing and the function is named by what the module itself says.
//
// Units are read when an address first leads to them and kept (abbreviations, line program);
// nothing else is. Every read is bounded by its section: damaged DWARF gives less, never a read
// outside the bytes. Not safe to call from two threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "debuginfo/address_ranges.h"
#include "debuginfo/dwarf_sections.h"

namespace quillmark::debuginfo {

struct InlinedCall {
  std::string function;   // empty when the entry names none
  std::string call_file;  // empty when the call site is unknown
  std::uint32_t call_line = 0;
};

struct AddressInfo {
  bool has_function = false;
  std::string function;
  std::uint64_t function_start = 0;  // of the function's code range that holds the address
  bool has_line = false;
  std::string file;
  std::uint32_t line = 0;
  std::uint64_t line_address = 0;  // where the row's code starts
  std::vector<InlinedCall> calls;  // innermost first
};

class DwarfResolver {
 public:
  // `supplementary`: the sections of the supplementary file the module's DWARF names, when it
  // names one and it was found; copied, so the pointer itself need not outlive the call.
  explicit DwarfResolver(const DwarfSections& sections,
                         const DwarfSections* supplementary = nullptr);
  ~DwarfResolver();
  DwarfResolver(const DwarfResolver&) = delete;
  DwarfResolver& operator=(const DwarfResolver&) = delete;

  // Describes `address` (as the DWARF gives addresses: the module's link-time address). False
  // when no unit holds it: then `info` says nothing.
  bool describe(std::uint64_t address, AddressInfo& info);

  struct Unit;
  struct Entry;
  struct Value;
  // One file's sections and the units read from them.
  struct File {
    DwarfSections sections;
    bool units_read = false;
    std::vector<std::unique_ptr<Unit>> units;  // by offset in .debug_info
  };

 private:
  Unit* unit_at(std::uint64_t address);
  static void read_units(File& file);
  static Unit* unit_holding_offset(File& file, std::uint64_t offset);
  bool open(Unit& unit);
  bool read_entry(Unit& unit, const unsigned char*& at, Entry& entry) const;
  bool entry_at(File& file, std::uint64_t offset, Unit*& unit, Entry& entry);
  bool referred_entry(const Unit& unit, const Value& value, File*& file, std::uint64_t& offset);
  bool skip_children(Unit& unit, const unsigned char*& at, const Entry& entry, int depth) const;
  bool holds(Unit& unit, const Entry& entry, std::uint64_t address, std::uint64_t& start) const;
  bool ranges_hold(Unit& unit, const Entry& entry, std::uint64_t address,
                   std::uint64_t& start) const;
  static bool entry_holds(void* question, std::uint64_t entry_offset);
  bool find_top_level_function(Unit& unit, std::uint64_t address, Entry& function,
                               std::uint64_t& start);
  int find_function(Unit& unit, const unsigned char*& at, std::uint64_t address, int depth,
                    bool everywhere, Entry& function, std::uint64_t& start);
  void find_inlined_calls(Unit& unit, const Entry& function, std::uint64_t address,
                          std::vector<Entry>& calls);
  std::string shown_name(Unit& unit, const Entry& entry);
  std::string scope_prefix(Unit& unit, std::uint64_t target);
  const char* string_of(const Unit& unit, std::uint32_t form, std::uint64_t raw,
                        const char* inline_text) const;
  bool address_of(const Unit& unit, std::uint32_t form, std::uint64_t raw,
                  std::uint64_t& address) const;
  void find_line(Unit& unit, std::uint64_t address, AddressInfo& info);

  File module_;
  File supplementary_;  // empty sections when there is none
  enum class Ranges { kUnread, kRead, kUnusable };
  Ranges ranges_state_ = Ranges::kUnread;
  AddressRanges ranges_;
};

}  // namespace quillmark::debuginfo
