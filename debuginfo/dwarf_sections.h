// The bytes of one module's DWARF sections, wherever they came from (an ELF file, a PE image).
// The bytes are owned by whoever filled the set and must outlive every reader given it.
#pragma once

#include <cstddef>

namespace quillmark::debuginfo {

struct SectionBytes {
  const unsigned char* data = nullptr;
  std::size_t size = 0;

  bool empty() const { return data == nullptr || size == 0; }
};

struct DwarfSections {
  SectionBytes info;
  SectionBytes abbrev;
  SectionBytes line;
  SectionBytes line_str;
  SectionBytes str;
  SectionBytes aranges;
  SectionBytes ranges;    // DWARF 4 range lists
  SectionBytes rnglists;  // DWARF 5 range lists
  SectionBytes addr;
  SectionBytes str_offsets;
};

}  // namespace quillmark::debuginfo
