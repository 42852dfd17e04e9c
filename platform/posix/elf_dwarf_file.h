// The DWARF sections of one ELF file, read with libelf: compressed sections (SHF_COMPRESSED, and
// the older ".zdebug_" ones) are inflated once, when the file is opened. The bytes live as long
// as the object; the module that holds it drops it with its other symbols. Where the DWARF leans
// on a supplementary file (as dwz leaves the debug files of some distributions), the link to
// that file is noted, for the caller to find and open it as another ElfDwarfFile.
#pragma once

#include <libelf.h>

#include <string>

#include "debuginfo/dwarf_sections.h"

namespace quillmark::platform::posix {

class ElfDwarfFile {
 public:
  enum class Opened {
    kDwarf,      // sections() holds at least .debug_info and .debug_abbrev
    kNoDwarf,    // the file is readable but carries no DWARF
    kTransient,  // out of memory or descriptors: may work another time
    kUnusable,   // not an ELF file, or damaged
  };

  ElfDwarfFile() = default;
  ~ElfDwarfFile();
  ElfDwarfFile(const ElfDwarfFile&) = delete;
  ElfDwarfFile& operator=(const ElfDwarfFile&) = delete;

  // Reads the file open at `fd`, which the object takes over (closed even on failure).
  Opened open(int fd);
  // Reads the sections of `elf`, which stays its owner's and must outlive the object (the
  // module's own file, as libdw has already opened it).
  Opened read(Elf* elf);

  // Where the file's DWARF names a supplementary file.
  struct SupplementaryLink {
    enum class Kind { kNone, kGnuAltLink, kDebugSup };
    Kind kind = Kind::kNone;
    std::string path;  // as the link gives it: absolute, or relative to this file's folder
    std::string id;    // the build id (".gnu_debugaltlink") or checksum (".debug_sup") it names
  };

  const debuginfo::DwarfSections& sections() const { return sections_; }
  const SupplementaryLink& supplementary_link() const { return link_; }
  // Whether this file is the supplementary file `link` names: it carries the id the link gives.
  bool is_supplementary_for(const SupplementaryLink& link) const;
  // The file's ELF handle while it is open; null otherwise.
  Elf* elf() const { return elf_; }

 private:
  Opened read_sections();
  bool read_link(const char* name, Elf_Scn* section);

  int fd_ = -1;
  Elf* elf_ = nullptr;
  bool owns_elf_ = false;
  debuginfo::DwarfSections sections_;
  SupplementaryLink link_;
  std::string own_checksum_;  // the checksum a supplementary file's ".debug_sup" gives itself
};

}  // namespace quillmark::platform::posix
