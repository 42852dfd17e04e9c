// DWARF sections that GNU tools compressed in place of the plain ones: ".zdebug_<name>" holds
// "ZLIB", the plain size as a big-endian 64-bit number, then a zlib stream of the plain bytes.
// Tools write this form into PE images (objcopy --compress-debug-sections), where no section
// flag can say a section is compressed.
#pragma once

#include <cstddef>
#include <vector>

#include "debuginfo/dwarf_sections.h"

namespace quillmark::debuginfo {

// The most bytes one section may inflate to; a header that claims more is taken as damaged.
constexpr std::size_t kMostInflatedSectionBytes = std::size_t{1} << 30;

// Inflates `compressed` into `plain`. False, with `plain` empty, unless the header is whole, the
// claimed size is at most kMostInflatedSectionBytes and the stream inflates to exactly that size.
bool inflate_gnu_section(const SectionBytes& compressed, std::vector<unsigned char>& plain);

}  // namespace quillmark::debuginfo
