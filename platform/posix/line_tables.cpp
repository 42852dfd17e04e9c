#include "platform/posix/line_tables.h"

#include <dwarf.h>
#include <gelf.h>

#include <cstring>

namespace quillmark::platform::posix {

namespace {

// The bytes of a section libdw has opened (and inflated, were it compressed); false when the
// section is still compressed.
bool section_bytes(Elf_Scn* section, const GElf_Shdr& header, const unsigned char*& bytes,
                   std::size_t& size) {
  if ((header.sh_flags & SHF_COMPRESSED) != 0 || header.sh_type == SHT_NOBITS) return false;
  Elf_Data* data = elf_getdata(section, nullptr);
  if (data == nullptr || data->d_buf == nullptr) return false;
  bytes = static_cast<const unsigned char*>(data->d_buf);
  size = data->d_size;
  return true;
}

}  // namespace

bool LineTables::find_sections(Dwarf* dwarf) {
  Elf* elf = dwarf_getelf(dwarf);
  std::size_t names_index = 0;
  if (elf == nullptr || elf_getshdrstrndx(elf, &names_index) != 0) return false;
  for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr;
       section = elf_nextscn(elf, section)) {
    GElf_Shdr header;
    if (gelf_getshdr(section, &header) == nullptr) continue;
    const char* name = elf_strptr(elf, names_index, header.sh_name);
    if (name == nullptr) continue;
    if (std::strcmp(name, ".debug_line") == 0) {
      if (!section_bytes(section, header, sections_.line, sections_.line_size)) return false;
    } else if (std::strcmp(name, ".debug_line_str") == 0) {
      if (!section_bytes(section, header, sections_.line_str, sections_.line_str_size)) {
        return false;
      }
    } else if (std::strcmp(name, ".debug_str") == 0) {
      if (!section_bytes(section, header, sections_.str, sections_.str_size)) return false;
    }
  }
  return sections_.line != nullptr;
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

void LineTables::clear() {
  programs_.clear();
  sections_ = LineSections();
  sections_state_ = Sections::kUnknown;
}

}  // namespace quillmark::platform::posix
