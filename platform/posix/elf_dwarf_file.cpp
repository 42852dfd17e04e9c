#include "platform/posix/elf_dwarf_file.h"

#include <elfutils/libdwelf.h>
#include <gelf.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "debuginfo/dwarf_bytes.h"

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

// ".gnu_debugaltlink": the supplementary file's path, a zero, then its build id.
bool read_gnu_altlink(const unsigned char* at, const unsigned char* end,
                      ElfDwarfFile::SupplementaryLink& link) {
  const char* path = nullptr;
  if (!debuginfo::read_cstring(at, end, path) || path[0] == '\0' || at == end) return false;
  link.kind = ElfDwarfFile::SupplementaryLink::Kind::kGnuAltLink;
  link.path = path;
  link.id.assign(reinterpret_cast<const char*>(at), static_cast<std::size_t>(end - at));
  return true;
}

// ".debug_sup": its version (2 bytes), whether this file is the supplementary one (1 byte), the
// supplementary file's path (empty in that file itself), and the length (LEB128) and bytes of its
// checksum. The path is set only in a file that names a supplementary one.
bool read_debug_sup(const unsigned char* at, const unsigned char* end, std::string& path,
                    std::string& checksum) {
  std::uint64_t version = 0;
  std::uint64_t is_supplementary = 0;
  std::uint64_t length = 0;
  const char* name = nullptr;
  if (!debuginfo::read_fixed(at, end, 2, version) || (version != 2 && version != 5) ||
      !debuginfo::read_u8(at, end, is_supplementary) || !debuginfo::read_cstring(at, end, name) ||
      !debuginfo::read_uleb(at, end, length) || length == 0 ||
      length > static_cast<std::uint64_t>(end - at)) {
    return false;
  }
  checksum.assign(reinterpret_cast<const char*>(at), static_cast<std::size_t>(length));
  if (is_supplementary == 0) path = name;
  return true;
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
  if (opened != Opened::kDwarf) {
    sections_ = debuginfo::DwarfSections();
    link_ = SupplementaryLink();
  }
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
    errno = 0;
    const char* name = gelf_getshdr(section, &header) != nullptr
                           ? elf_strptr(elf_, names_index, header.sh_name)
                           : nullptr;
    if (name == nullptr) {
      if (errno_is_transient()) return Opened::kTransient;
      continue;
    }
    if (std::strcmp(name, ".gnu_debugaltlink") == 0 || std::strcmp(name, ".debug_sup") == 0) {
      if (!read_link(name, section) && errno_is_transient()) return Opened::kTransient;
      continue;
    }
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

// A link that cannot be read is left out: the DWARF is read without the supplementary file.
bool ElfDwarfFile::read_link(const char* name, Elf_Scn* section) {
  errno = 0;
  Elf_Data* data = elf_getdata(section, nullptr);
  if (data == nullptr || data->d_buf == nullptr || data->d_size == 0) return false;
  const auto* begin = static_cast<const unsigned char*>(data->d_buf);
  const unsigned char* end = begin + data->d_size;
  if (name[1] == 'g') return read_gnu_altlink(begin, end, link_);
  std::string path;
  std::string checksum;
  if (!read_debug_sup(begin, end, path, checksum)) return false;
  if (path.empty()) {
    own_checksum_ = std::move(checksum);
  } else if (link_.kind == SupplementaryLink::Kind::kNone) {
    link_.kind = SupplementaryLink::Kind::kDebugSup;
    link_.path = std::move(path);
    link_.id = std::move(checksum);
  }
  return true;
}

bool ElfDwarfFile::is_supplementary_for(const SupplementaryLink& link) const {
  if (link.kind == SupplementaryLink::Kind::kDebugSup) return own_checksum_ == link.id;
  const void* id = nullptr;
  const ssize_t size = elf_ != nullptr ? dwelf_elf_gnu_build_id(elf_, &id) : -1;
  return link.kind == SupplementaryLink::Kind::kGnuAltLink && size > 0 &&
         static_cast<std::size_t>(size) == link.id.size() &&
         std::memcmp(id, link.id.data(), link.id.size()) == 0;
}

}  // namespace quillmark::platform::posix
