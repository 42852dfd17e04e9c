// The headers and sections of a PE/COFF image file, read from its bytes.
//
// GNU toolchains keep DWARF in PE images under the ELF section names; names longer than the
// eight bytes a section header holds are written as "/<offset>" into the COFF string table
// (after the symbol table). Every field is checked against the bytes given: a truncated or
// damaged file gives fewer sections, never a read outside the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "debuginfo/dwarf_sections.h"
#include "debuginfo/function_symbols.h"

namespace quillmark::debuginfo {

class PeImage {
 public:
  // Reads the headers of the image in `file` (`size` bytes, kept by the caller). False when they
  // are not those of a PE image or lie outside the bytes.
  bool read(const unsigned char* file, std::size_t size);

  // The bytes of the section called `name` (its size in memory, cut to what the file holds);
  // empty when there is none, or its bytes lie outside the file.
  SectionBytes section(const std::string& name) const;
  // The DWARF sections of the image, each empty when missing. A section found only compressed
  // (".zdebug_<name>", compressed_section.h) is inflated into `inflated` when it is given, and
  // the set points into it; when it is not given, or the section is damaged, it is missing.
  DwarfSections dwarf_sections(std::vector<std::vector<unsigned char>>* inflated = nullptr) const;

  // The function symbols of the COFF symbol table, which GNU linkers keep in images that were not
  // stripped, by address; none when there is no table or it lies outside the bytes.
  std::vector<FunctionSymbol> function_symbols() const;

  // The address the image was linked for: DWARF addresses assume the image lies there.
  std::uint64_t image_base() const { return image_base_; }
  std::uint32_t time_stamp() const { return time_stamp_; }
  std::uint32_t image_size() const { return image_size_; }
  std::uint32_t checksum() const { return checksum_; }

 private:
  struct Section {
    std::string name;
    std::uint32_t virtual_address = 0;
    std::uint32_t file_offset = 0;
    std::uint32_t size = 0;
  };

  std::string long_name(const char* short_name, std::uint32_t string_table,
                        std::size_t string_table_size) const;

  const unsigned char* file_ = nullptr;
  std::size_t size_ = 0;
  std::uint64_t image_base_ = 0;
  std::uint32_t time_stamp_ = 0;
  std::uint32_t image_size_ = 0;
  std::uint32_t checksum_ = 0;
  std::uint64_t symbol_table_ = 0;
  std::uint64_t symbol_count_ = 0;
  std::uint64_t string_table_ = 0;
  std::size_t string_table_size_ = 0;  // 0 when there is none
  std::vector<Section> sections_;
};

}  // namespace quillmark::debuginfo
