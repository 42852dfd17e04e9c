// The bytes of a module's DWARF sections, as libdw has opened them.
#pragma once

#include <elfutils/libdw.h>

#include <cstddef>

namespace quillmark::platform::posix {

enum class SectionState { kFound, kMissing, kUnusable };

// The section called `name` of the ELF file `dwarf` was read from. kUnusable when it is there
// but still compressed, or cannot be read.
SectionState debug_section(Dwarf* dwarf, const char* name, const unsigned char*& bytes,
                           std::size_t& size);

}  // namespace quillmark::platform::posix
