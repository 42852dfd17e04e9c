#include "platform/posix/debug_sections.h"

#include <gelf.h>

#include <cstring>

namespace quillmark::platform::posix {

SectionState debug_section(Dwarf* dwarf, const char* name, const unsigned char*& bytes,
                           std::size_t& size) {
  Elf* elf = dwarf_getelf(dwarf);
  std::size_t names_index = 0;
  if (elf == nullptr || elf_getshdrstrndx(elf, &names_index) != 0) return SectionState::kUnusable;
  for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr;
       section = elf_nextscn(elf, section)) {
    GElf_Shdr header;
    if (gelf_getshdr(section, &header) == nullptr) continue;
    const char* section_name = elf_strptr(elf, names_index, header.sh_name);
    if (section_name == nullptr || std::strcmp(section_name, name) != 0) continue;
    // libdw inflates the compressed sections it opens; one still compressed is not ours to
    // inflate.
    if ((header.sh_flags & SHF_COMPRESSED) != 0 || header.sh_type == SHT_NOBITS) {
      return SectionState::kUnusable;
    }
    Elf_Data* data = elf_getdata(section, nullptr);
    if (data == nullptr || data->d_buf == nullptr) return SectionState::kUnusable;
    bytes = static_cast<const unsigned char*>(data->d_buf);
    size = data->d_size;
    return SectionState::kFound;
  }
  return SectionState::kMissing;
}

}  // namespace quillmark::platform::posix
