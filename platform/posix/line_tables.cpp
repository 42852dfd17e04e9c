#include "platform/posix/line_tables.h"

#include <dwarf.h>

#include "platform/posix/debug_sections.h"

namespace quillmark::platform::posix {

bool LineTables::find_sections(Dwarf* dwarf) {
  // .debug_line must be there; the string sections only when the programs refer to them.
  const auto usable = [&](const char* name, const unsigned char*& bytes, std::size_t& size) {
    return debug_section(dwarf, name, bytes, size) != SectionState::kUnusable;
  };
  return debug_section(dwarf, ".debug_line", sections_.line, sections_.line_size) ==
             SectionState::kFound &&
         usable(".debug_line_str", sections_.line_str, sections_.line_str_size) &&
         usable(".debug_str", sections_.str, sections_.str_size);
}

const LineProgram* LineTables::program_of(Dwarf* dwarf, Dwarf_Die& unit) {
  if (sections_state_ == Sections::kUnknown) {
    sections_state_ = find_sections(dwarf) ? Sections::kFound : Sections::kMissing;
  }
  if (sections_state_ != Sections::kFound) return nullptr;
  Dwarf_Attribute attribute;
  Dwarf_Word offset = 0;
  if (dwarf_formudata(dwarf_attr(&unit, DW_AT_stmt_list, &attribute), &offset) != 0) {
    return nullptr;
  }
  const auto known = programs_.find(offset);
  if (known != programs_.end()) return known->second.get();
  auto program = std::make_unique<LineProgram>();
  const char* unit_directory = dwarf_formstring(dwarf_attr(&unit, DW_AT_comp_dir, &attribute));
  if (!program->open(sections_, offset, unit_directory)) program.reset();
  return programs_.emplace(offset, std::move(program)).first->second.get();
}

const char* LineTables::joined_file_name(const char* file, Dwarf_Die& unit) {
  Dwarf_Attribute attribute;
  const char* unit_directory = dwarf_formstring(dwarf_attr(&unit, DW_AT_comp_dir, &attribute));
  if (file == nullptr || *file == '/' || unit_directory == nullptr || *unit_directory == '\0') {
    return file;
  }
  return joined_names_.insert(std::string(unit_directory) + '/' + file).first->c_str();
}

void LineTables::clear() {
  joined_names_.clear();
  programs_.clear();
  sections_ = LineSections();
  sections_state_ = Sections::kUnknown;
}

}  // namespace quillmark::platform::posix
