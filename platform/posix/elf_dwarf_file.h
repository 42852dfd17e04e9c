// The DWARF sections of one ELF file, read with libelf: compressed sections (SHF_COMPRESSED, and
// the older ".zdebug_" ones) are inflated once, when the file is opened. The bytes live as long
// as the object; the module that holds it drops it with its other symbols.
#pragma once

#include <libelf.h>

#include "debuginfo/dwarf_sections.h"

namespace quillmark::platform::posix {

class ElfDwarfFile {
 public:
  enum class Opened {
    kDwarf,      // sections() holds at least .debug_info and .debug_abbrev
    kNoDwarf,    // the file is readable but carries no DWARF
    kForLibdw,   // its DWARF leans on another file (a dwz supplement): only libdw reads it
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

  const debuginfo::DwarfSections& sections() const { return sections_; }
  // The file's ELF handle while it is open; null otherwise.
  Elf* elf() const { return elf_; }

 private:
  Opened read_sections();

  int fd_ = -1;
  Elf* elf_ = nullptr;
  bool owns_elf_ = false;
  debuginfo::DwarfSections sections_;
};

}  // namespace quillmark::platform::posix
