#include "platform/posix/elf_dwarf_file.h"

#include <gelf.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace quillmark::platform::posix {

namespace {

bool errno_is_transient() { return errno == ENOMEM || errno == EMFILE || errno == ENFILE; }

// The slot of the DWARF section called `name` (".debug_..." after the ".zdebug_" prefix is
// turned into ".debug_"); null for a section the resolver does not read.
debuginfo::SectionBytes* slot_of(debuginfo::DwarfSections& sections, const char* name) {
  const std::pair<const char*, debuginfo::SectionBytes*> slots[] = {
      {"info", &sections.info},     {"abbrev", &sections.abbrev},
      {"line", &sections.line},     {"line_str", &sections.line_str},
      {"str", &sections.str},       {"aranges", &sections.aranges},
      {"ranges", &sections.ranges}, {"rnglists", &sections.rnglists},
      {"addr", &sections.addr},     {"str_offsets", &sections.str_offsets}};
  for (const auto& [suffix, slot] : slots) {
    if (std::strcmp(name, suffix) == 0) return slot;
  }
  return nullptr;
}

}  // namespace

ElfDwarfFile::~ElfDwarfFile() {
  if (owns_elf_) elf_end(elf_);
  if (fd_ >= 0) close(fd_);
}

ElfDwarfFile::Opened ElfDwarfFile::open(int fd) {
  fd_ = fd;
  elf_version(EV_CURRENT);
  errno = 0;
  Elf* elf = elf_begin(fd_, ELF_C_READ_MMAP, nullptr);
  if (elf == nullptr) return errno_is_transient() ? Opened::kTransient : Opened::kUnusable;
  owns_elf_ = true;
  return read(elf);
}

ElfDwarfFile::Opened ElfDwarfFile::read(Elf* elf) {
  elf_ = elf;
  if (elf_ == nullptr || elf_kind(elf_) != ELF_K_ELF) return Opened::kUnusable;
  const Opened opened = read_sections();
  if (opened != Opened::kDwarf) sections_ = debuginfo::DwarfSections();
  return opened;
}

ElfDwarfFile::Opened ElfDwarfFile::read_sections() {
  std::size_t names_index = 0;
  errno = 0;
  if (elf_getshdrstrndx(elf_, &names_index) != 0) {
    return errno_is_transient() ? Opened::kTransient : Opened::kUnusable;
  }
  for (Elf_Scn* section = elf_nextscn(elf_, nullptr); section != nullptr;
       section = elf_nextscn(elf_, section)) {
    GElf_Shdr header;
    if (gelf_getshdr(section, &header) == nullptr) continue;
    const char* name = elf_strptr(elf_, names_index, header.sh_name);
    if (name == nullptr) continue;
    if (std::strcmp(name, ".gnu_debugaltlink") == 0) return Opened::kForLibdw;
    const bool gnu_compressed = std::strncmp(name, ".zdebug_", 8) == 0;
    if (!gnu_compressed && std::strncmp(name, ".debug_", 7) != 0) continue;
    debuginfo::SectionBytes* slot = slot_of(sections_, name + (gnu_compressed ? 8 : 7));
    // A stripped file keeps the headers of its debug sections without their bytes.
    if (slot == nullptr || header.sh_type == SHT_NOBITS) continue;
    errno = 0;
    const bool inflated = (header.sh_flags & SHF_COMPRESSED) != 0 ? elf_compress(section, 0, 0) >= 0
                          : gnu_compressed ? elf_compress_gnu(section, 0, 0) >= 0
                                           : true;
    Elf_Data* data = inflated ? elf_getdata(section, nullptr) : nullptr;
    if (data == nullptr || data->d_buf == nullptr) {
      if (errno_is_transient()) return Opened::kTransient;
      continue;  // a section that cannot be read is one the resolver does without
    }
    slot->data = static_cast<const unsigned char*>(data->d_buf);
    slot->size = data->d_size;
  }
  return sections_.info.empty() || sections_.abbrev.empty() ? Opened::kNoDwarf : Opened::kDwarf;
}

}  // namespace quillmark::platform::posix
