#include "platform/posix/source_lines.h"

#include <dwarf.h>

#include <algorithm>

#include "platform/posix/dwarf_names.h"

namespace quillmark::platform::posix {

namespace {

// An attribute of `die` or of the declaration or abstract instance it refers to.
const char* string_attribute(Dwarf_Die* die, unsigned int name) {
  Dwarf_Attribute attribute;
  return dwarf_formstring(dwarf_attr_integrate(die, name, &attribute));
}

bool unsigned_attribute(Dwarf_Die* die, unsigned int name, Dwarf_Word& value) {
  Dwarf_Attribute attribute;
  return dwarf_formudata(dwarf_attr(die, name, &attribute), &value) == 0;
}

}  // namespace

namespace {

// The unit that holds `address`, with the module's DWARF and its bias; false when none does.
bool unit_of(Dwfl_Module* module, std::uint64_t address, Dwarf_Addr& bias, Dwarf_Die& unit) {
  Dwarf_Die* found = dwfl_module_addrdie(module, address, &bias);
  if (found == nullptr) return false;
  unit = *found;
  return true;
}

bool libdw_line(Dwfl_Module* module, ModuleDwarf& cache, std::uint64_t address, SourceLine& line) {
  Dwfl_Line* source = dwfl_module_getsrc(module, address);
  if (source == nullptr) return false;
  Dwarf_Addr line_address = 0;
  int line_number = 0;
  const char* file = dwfl_lineinfo(source, &line_address, &line_number, nullptr, nullptr, nullptr);
  Dwarf_Die* unit = dwfl_linecu(source);
  if (file == nullptr || line_number < 0) return false;
  // libdw answers with the nearest row before the address even where the unit's code has ended
  // (run-time start-up code without debug information, placed after a unit's last sequence):
  // a row counts only when its unit holds the address.
  Dwarf_Addr bias = 0;
  if (unit == nullptr || dwfl_module_getdwarf(module, &bias) == nullptr ||
      dwarf_haspc(unit, address - bias) != 1) {
    return false;
  }
  line.file = cache.joined_file_name(file, *unit);
  line.line = static_cast<std::uint32_t>(line_number);
  line.address = line_address;
  return true;
}

// Entries that may hold code nested in a function: the places where inlined calls are found.
bool is_code_scope(int tag) {
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

// The inlined calls inside `function` that hold `pc`, innermost first: in each entry the first
// child scope that holds the address is entered, as dwarf_getscopes does. A function nested in
// another is the innermost function: only the calls inside it count.
void inlined_calls_in(Dwarf_Die function, Dwarf_Addr pc, std::vector<Dwarf_Die>& calls) {
  Dwarf_Die scope = function;
  Dwarf_Die child;
  bool entered = true;
  while (entered && dwarf_child(&scope, &child) == 0) {
    entered = false;
    do {
      const int tag = dwarf_tag(&child);
      if (!is_code_scope(tag) || dwarf_haspc(&child, pc) != 1) continue;
      if (tag == DW_TAG_subprogram) calls.clear();
      if (tag == DW_TAG_inlined_subroutine) calls.push_back(child);
      scope = child;
      entered = true;
      break;
    } while (dwarf_siblingof(&child, &child) == 0);
  }
  std::reverse(calls.begin(), calls.end());
}

// Entries that hold no code themselves but may hold entries that do.
bool holds_definitions(int tag) {
  return tag == DW_TAG_namespace || tag == DW_TAG_module || tag == DW_TAG_class_type ||
         tag == DW_TAG_structure_type || tag == DW_TAG_union_type;
}

// The function entry that holds `pc` among the children of `parent`, walking through
// namespaces, types and imported units.
// (dwarf_getscopes would not do: past the innermost inlined call it goes on with the scopes of
// the call's abstract origin, not with the calls around it.)
bool function_by_libdw(Dwarf_Die& parent, Dwarf_Addr pc, Dwarf_Die& function, int depth) {
  constexpr int kMaxDepth = 32;
  Dwarf_Die child;
  if (depth > kMaxDepth || dwarf_child(&parent, &child) != 0) return false;
  do {
    const int tag = dwarf_tag(&child);
    if (tag == DW_TAG_subprogram && dwarf_haspc(&child, pc) == 1) {
      function = child;
      return true;
    }
    Dwarf_Attribute import;
    Dwarf_Die imported;
    if (tag == DW_TAG_imported_unit &&
        dwarf_formref_die(dwarf_attr(&child, DW_AT_import, &import), &imported) != nullptr &&
        function_by_libdw(imported, pc, function, depth + 1)) {
      return true;
    }
    if (holds_definitions(tag) && function_by_libdw(child, pc, function, depth + 1)) return true;
  } while (dwarf_siblingof(&child, &child) == 0);
  return false;
}

}  // namespace

const char* ModuleDwarf::joined_file_name(const char* file, Dwarf_Die& unit) {
  Dwarf_Attribute attribute;
  const char* unit_directory = dwarf_formstring(dwarf_attr(&unit, DW_AT_comp_dir, &attribute));
  if (file == nullptr || *file == '/' || unit_directory == nullptr || *unit_directory == '\0') {
    return file;
  }
  return joined_names_.insert(std::string(unit_directory) + '/' + file).first->c_str();
}

std::string function_name_at(Dwfl_Module* module, std::uint64_t address) {
  Dwarf_Addr bias = 0;
  Dwarf_Die unit;
  Dwarf_Die function;
  if (!unit_of(module, address, bias, unit) ||
      !function_by_libdw(unit, address - bias, function, 0)) {
    return std::string();
  }
  return qualified_dwarf_name(function);
}

bool line_at(Dwfl_Module* module, ModuleDwarf& cache, std::uint64_t address, SourceLine& line) {
  return libdw_line(module, cache, address, line);
}

InlineChain::InlineChain(Dwfl_Module* module, ModuleDwarf& cache, std::uint64_t address)
    : address_(address), names_(&cache) {
  Dwarf_Addr bias = 0;
  Dwarf_Die function;
  if (unit_of(module, address, bias, unit_) &&
      function_by_libdw(unit_, address - bias, function, 0)) {
    inlined_calls_in(function, address - bias, calls_);
  }
}

const char* InlineChain::function_name(std::uint32_t depth) {
  if (depth >= calls_.size()) return nullptr;
  Dwarf_Die call = calls_[depth];
  const char* name = string_attribute(&call, DW_AT_linkage_name);
  if (name == nullptr) name = string_attribute(&call, DW_AT_MIPS_linkage_name);
  return name != nullptr ? name : qualified_name(depth);
}

const char* InlineChain::qualified_name(std::uint32_t depth) {
  if (depth >= calls_.size()) return nullptr;
  if (qualified_names_.size() <= depth) qualified_names_.resize(depth + 1);
  std::string& qualified = qualified_names_[depth];
  if (qualified.empty()) qualified = qualified_dwarf_name(calls_[depth]);
  return qualified.empty() ? nullptr : qualified.c_str();
}

bool InlineChain::call_site(std::uint32_t depth, SourceLine& line) const {
  if (depth >= calls_.size()) return false;
  Dwarf_Die call = calls_[depth];
  Dwarf_Word file_index = 0;
  Dwarf_Word line_number = 0;
  if (!unsigned_attribute(&call, DW_AT_call_file, file_index) ||
      !unsigned_attribute(&call, DW_AT_call_line, line_number)) {
    return false;
  }
  Dwarf_Die unit = unit_;
  Dwarf_Files* files = nullptr;
  std::size_t file_count = 0;
  if (dwarf_getsrcfiles(&unit, &files, &file_count) != 0 || file_index >= file_count) {
    return false;
  }
  const char* file =
      names_->joined_file_name(dwarf_filesrc(files, file_index, nullptr, nullptr), unit);
  if (file == nullptr) return false;
  line.file = file;
  line.line = static_cast<std::uint32_t>(line_number);
  line.address = 0;
  return true;
}

}  // namespace quillmark::platform::posix
