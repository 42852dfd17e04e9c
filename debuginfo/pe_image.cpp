#include "debuginfo/pe_image.h"

#include "debuginfo/compressed_section.h"

#include <algorithm>
#include <cstring>

#include "debuginfo/dwarf_bytes.h"

namespace quillmark::debuginfo {

namespace {

constexpr std::uint64_t kDosMagic = 0x5A4D;         // "MZ"
constexpr std::uint64_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint64_t kPe32Magic = 0x10B;
constexpr std::uint64_t kPe32PlusMagic = 0x20B;
constexpr std::size_t kNewHeaderPointer = 0x3C;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSymbolSize = 18;
constexpr std::size_t kShortNameSize = 8;
// More sections than the format allows (a 16-bit count) cannot occur; the count is still checked
// against the bytes.
constexpr std::size_t kMaxSections = 0xFFFF;
constexpr std::uint64_t kFunctionType = 0x20;
constexpr std::uint64_t kExternalClass = 2;
constexpr std::uint64_t kStaticClass = 3;

// A little-endian field of `size` bytes at `offset`; false when it lies outside the bytes.
bool field(const unsigned char* file, std::size_t file_size, std::uint64_t offset, unsigned size,
           std::uint64_t& value) {
  if (offset > file_size) return false;
  const unsigned char* at = file + offset;
  return read_fixed(at, file + file_size, size, value);
}

}  // namespace

bool PeImage::read(const unsigned char* file, std::size_t size) {
  *this = PeImage();
  std::uint64_t magic = 0;
  std::uint64_t header = 0;
  std::uint64_t signature = 0;
  if (file == nullptr || !field(file, size, 0, 2, magic) || magic != kDosMagic ||
      !field(file, size, kNewHeaderPointer, 4, header) ||
      !field(file, size, header, 4, signature) || signature != kPeSignature) {
    return false;
  }
  const std::uint64_t file_header = header + 4;
  std::uint64_t section_count = 0;
  std::uint64_t time_stamp = 0;
  std::uint64_t symbol_table = 0;
  std::uint64_t symbol_count = 0;
  std::uint64_t optional_size = 0;
  std::uint64_t optional_magic = 0;
  const std::uint64_t optional = file_header + kFileHeaderSize;
  if (!field(file, size, file_header + 2, 2, section_count) ||
      !field(file, size, file_header + 4, 4, time_stamp) ||
      !field(file, size, file_header + 8, 4, symbol_table) ||
      !field(file, size, file_header + 12, 4, symbol_count) ||
      !field(file, size, file_header + 16, 2, optional_size) ||
      !field(file, size, optional, 2, optional_magic)) {
    return false;
  }
  std::uint64_t image_base = 0;
  std::uint64_t image_size = 0;
  std::uint64_t checksum = 0;
  const bool wide = optional_magic == kPe32PlusMagic;
  if ((!wide && optional_magic != kPe32Magic) ||
      !field(file, size, optional + (wide ? 24 : 28), wide ? 8 : 4, image_base) ||
      !field(file, size, optional + 56, 4, image_size) ||
      !field(file, size, optional + 64, 4, checksum)) {
    return false;
  }
  const std::uint64_t headers = optional + optional_size;
  if (section_count > kMaxSections || headers > size ||
      section_count * kSectionHeaderSize > size - headers) {
    return false;
  }
  file_ = file;
  size_ = size;
  image_base_ = image_base;
  time_stamp_ = static_cast<std::uint32_t>(time_stamp);
  image_size_ = static_cast<std::uint32_t>(image_size);
  checksum_ = static_cast<std::uint32_t>(checksum);
  // The string table follows the symbol table; a table that does not fit leaves long names
  // unresolved.
  const std::uint64_t string_table = symbol_table + symbol_count * kSymbolSize;
  std::uint64_t string_table_size = 0;
  if (symbol_table == 0 || string_table > size ||
      !field(file, size, string_table, 4, string_table_size) ||
      string_table_size > size - string_table) {
    string_table_size = 0;
  }
  if (string_table <= size) {
    symbol_table_ = symbol_table;
    symbol_count_ = symbol_count;
  }
  string_table_ = string_table;
  string_table_size_ = static_cast<std::size_t>(string_table_size);
  sections_.reserve(section_count);
  for (std::uint64_t i = 0; i < section_count; ++i) {
    const unsigned char* entry = file + headers + i * kSectionHeaderSize;
    char short_name[kShortNameSize + 1] = {};
    std::memcpy(short_name, entry, kShortNameSize);
    std::uint64_t virtual_size = 0;
    std::uint64_t raw_size = 0;
    std::uint64_t raw_offset = 0;
    std::uint64_t virtual_address = 0;
    const std::uint64_t at = headers + i * kSectionHeaderSize;
    field(file, size, at + 8, 4, virtual_size);
    field(file, size, at + 12, 4, virtual_address);
    field(file, size, at + 16, 4, raw_size);
    field(file, size, at + 20, 4, raw_offset);
    Section section;
    section.name = long_name(short_name, static_cast<std::uint32_t>(string_table),
                             static_cast<std::size_t>(string_table_size));
    section.virtual_address = static_cast<std::uint32_t>(virtual_address);
    section.file_offset = static_cast<std::uint32_t>(raw_offset);
    // The size in memory is the section's own; the size in the file is rounded up to the file
    // alignment (or cut short for a section of zeros).
    section.size = static_cast<std::uint32_t>(
        virtual_size != 0 && virtual_size < raw_size ? virtual_size : raw_size);
    sections_.push_back(std::move(section));
  }
  return true;
}

std::string PeImage::long_name(const char* short_name, std::uint32_t string_table,
                               std::size_t string_table_size) const {
  if (short_name[0] != '/') return short_name;
  std::uint64_t offset = 0;
  for (const char* digit = short_name + 1; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') return short_name;
    offset = offset * 10 + static_cast<std::uint64_t>(*digit - '0');
  }
  // Offset 0 to 3 hold the table's size, so no name starts there.
  if (offset < 4 || offset >= string_table_size) return short_name;
  const unsigned char* at = file_ + string_table + offset;
  const char* name = nullptr;
  if (!read_cstring(at, file_ + string_table + string_table_size, name)) return short_name;
  return name;
}

SectionBytes PeImage::section(const std::string& name) const {
  for (const Section& section : sections_) {
    if (section.name != name) continue;
    if (section.file_offset > size_ || section.size > size_ - section.file_offset) return {};
    return {file_ + section.file_offset, section.size};
  }
  return {};
}

std::vector<FunctionSymbol> PeImage::function_symbols() const {
  std::vector<FunctionSymbol> symbols;
  if (symbol_table_ == 0) return symbols;
  for (std::uint64_t i = 0; i < symbol_count_; ++i) {
    const std::uint64_t at = symbol_table_ + i * kSymbolSize;
    std::uint64_t value = 0;
    std::uint64_t section = 0;
    std::uint64_t type = 0;
    std::uint64_t storage = 0;
    std::uint64_t aux = 0;
    if (!field(file_, size_, at + 8, 4, value) || !field(file_, size_, at + 12, 2, section) ||
        !field(file_, size_, at + 14, 2, type) || !field(file_, size_, at + 16, 1, storage) ||
        !field(file_, size_, at + 17, 1, aux)) {
      break;
    }
    i += aux;
    if (type != kFunctionType || (storage != kExternalClass && storage != kStaticClass) ||
        section == 0 || section > sections_.size()) {
      continue;
    }
    FunctionSymbol symbol;
    std::uint64_t zeroes = 0;
    std::uint64_t offset = 0;
    field(file_, size_, at, 4, zeroes);
    field(file_, size_, at + 4, 4, offset);
    if (zeroes == 0) {
      // A long name: an offset into the string table.
      if (offset < 4 || offset >= string_table_size_) continue;
      const unsigned char* name = file_ + string_table_ + offset;
      const char* text = nullptr;
      if (!read_cstring(name, file_ + string_table_ + string_table_size_, text)) continue;
      symbol.name = text;
      symbol.length = std::strlen(text);
    } else {
      symbol.name = reinterpret_cast<const char*>(file_ + at);
      symbol.length = kShortNameSize;
      while (symbol.length > 0 && symbol.name[symbol.length - 1] == '\0') --symbol.length;
    }
    symbol.address = image_base_ + sections_[section - 1].virtual_address + value;
    symbols.push_back(symbol);
  }
  std::sort(symbols.begin(), symbols.end(),
            [](const FunctionSymbol& a, const FunctionSymbol& b) { return a.address < b.address; });
  return symbols;
}

DwarfSections PeImage::dwarf_sections(std::vector<std::vector<unsigned char>>* inflated) const {
  const auto dwarf_section = [&](const char* name) {
    const SectionBytes plain = section(std::string(".debug_") + name);
    if (!plain.empty() || inflated == nullptr) return plain;
    const SectionBytes compressed = section(std::string(".zdebug_") + name);
    std::vector<unsigned char> bytes;
    if (compressed.empty() || !inflate_gnu_section(compressed, bytes)) return SectionBytes();
    inflated->push_back(std::move(bytes));
    return SectionBytes{inflated->back().data(), inflated->back().size()};
  };
  DwarfSections sections;
  sections.info = dwarf_section("info");
  sections.abbrev = dwarf_section("abbrev");
  sections.line = dwarf_section("line");
  sections.line_str = dwarf_section("line_str");
  sections.str = dwarf_section("str");
  sections.aranges = dwarf_section("aranges");
  sections.ranges = dwarf_section("ranges");
  sections.rnglists = dwarf_section("rnglists");
  sections.addr = dwarf_section("addr");
  sections.str_offsets = dwarf_section("str_offsets");
  return sections;
}

}  // namespace quillmark::debuginfo
