#include "platform/posix/source_lines.h"

#include <dwarf.h>

#include <cstdlib>

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

// The row of `address` from the unit's program read directly; false to ask libdw instead.
bool read_line(Dwfl_Module* module, LineTables& tables, std::uint64_t address, SourceLine& line,
               bool& has_row) {
  Dwarf_Addr bias = 0;
  Dwarf_Die* unit = dwfl_module_addrdie(module, address, &bias);
  Dwarf* dwarf = unit != nullptr ? dwfl_module_getdwarf(module, &bias) : nullptr;
  const LineProgram* program = dwarf != nullptr ? tables.program_of(dwarf, *unit) : nullptr;
  if (program == nullptr) return false;
  LineRow row;
  const LineProgram::Found found = program->find(address - bias, row);
  if (found == LineProgram::Found::kUnreadable) return false;
  has_row =
      found == LineProgram::Found::kRow && row.line >= 0 && program->file_name(row.file) != nullptr;
  if (has_row) {
    line.file = program->file_name(row.file);
    line.line = static_cast<std::uint32_t>(row.line);
    line.address = row.address + bias;
  }
  return true;
}

bool libdw_line(Dwfl_Module* module, std::uint64_t address, SourceLine& line) {
  Dwfl_Line* source = dwfl_module_getsrc(module, address);
  if (source == nullptr) return false;
  Dwarf_Addr line_address = 0;
  int line_number = 0;
  const char* file = dwfl_lineinfo(source, &line_address, &line_number, nullptr, nullptr, nullptr);
  if (file == nullptr || line_number < 0) return false;
  line.file = file;
  line.line = static_cast<std::uint32_t>(line_number);
  line.address = line_address;
  return true;
}

}  // namespace

bool line_at(Dwfl_Module* module, LineTables& tables, std::uint64_t address,
             std::uint64_t function_start, SourceLine& line) {
  bool has_row = false;
  if (!read_line(module, tables, address, line, has_row))
    has_row = libdw_line(module, address, line);
  return has_row && (function_start == 0 || line.address >= function_start);
}

InlineChain::InlineChain(Dwfl_Module* module, LineTables& tables, std::uint64_t address)
    : address_(address) {
  Dwarf_Addr bias = 0;
  Dwarf_Die* unit = dwfl_module_addrdie(module, address, &bias);
  if (unit == nullptr) return;
  unit_ = *unit;
  Dwarf* dwarf = dwfl_module_getdwarf(module, &bias);
  if (dwarf != nullptr) program_ = tables.program_of(dwarf, unit_);
  Dwarf_Die* scopes = nullptr;
  const int count = dwarf_getscopes(&unit_, address - bias, &scopes);
  // Innermost first: inlined calls, lexical blocks, then the function that holds them.
  for (int i = 0; i < count; ++i) {
    const int tag = dwarf_tag(&scopes[i]);
    if (tag == DW_TAG_subprogram) break;
    if (tag == DW_TAG_inlined_subroutine) calls_.push_back(scopes[i]);
  }
  std::free(scopes);
}

const char* InlineChain::function_name(std::uint32_t depth) const {
  if (depth >= calls_.size()) return nullptr;
  Dwarf_Die call = calls_[depth];
  const char* name = string_attribute(&call, DW_AT_linkage_name);
  if (name == nullptr) name = string_attribute(&call, DW_AT_MIPS_linkage_name);
  if (name == nullptr) name = string_attribute(&call, DW_AT_name);
  return name;
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
  const char* file = nullptr;
  if (program_ != nullptr) {
    file = program_->file_name(file_index);
  } else {
    Dwarf_Die unit = unit_;
    Dwarf_Files* files = nullptr;
    std::size_t file_count = 0;
    if (dwarf_getsrcfiles(&unit, &files, &file_count) != 0 || file_index >= file_count) {
      return false;
    }
    file = dwarf_filesrc(files, file_index, nullptr, nullptr);
  }
  if (file == nullptr) return false;
  line.file = file;
  line.line = static_cast<std::uint32_t>(line_number);
  line.address = 0;
  return true;
}

}  // namespace quillmark::platform::posix
