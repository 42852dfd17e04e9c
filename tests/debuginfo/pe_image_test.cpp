// The PE/COFF section reader on images built byte by byte: long section names through the COFF
// string table, the image fields DWARF addresses depend on, and damaged files (cut short, names
// pointing outside the string table, sections past the end) that must give fewer sections,
// never a read outside the bytes; and DWARF sections kept compressed, which must inflate to exactly
// the size they claim.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <zlib.h>

#include "debuginfo/compressed_section.h"
#include "debuginfo/pe_image.h"

namespace {

using quillmark::debuginfo::FunctionSymbol;
using quillmark::debuginfo::PeImage;

constexpr std::size_t kPeHeader = 0x80;
constexpr std::size_t kOptionalSize = 240;  // PE32+ with 16 data directories
constexpr std::size_t kSections = kPeHeader + 4 + 20 + kOptionalSize;

void put(std::vector<unsigned char>& bytes, std::size_t at, std::uint64_t value, unsigned size) {
  if (bytes.size() < at + size) bytes.resize(at + size);
  for (unsigned i = 0; i < size; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// An image with a ".text" section and a ".debug_info" section named through the string table,
// whose contents are `info`.
struct Image {
  std::vector<unsigned char> bytes;
  std::size_t name_field = 0;  // where the second section header's name is
  std::size_t info_at = 0;
  std::size_t strings = 0;  // where the string table is

  explicit Image(const std::string& info, const std::string& info_name = ".debug_info") {
    put(bytes, 0, 0x5A4D, 2);
    put(bytes, 0x3C, kPeHeader, 4);
    put(bytes, kPeHeader, 0x4550, 4);
    const std::size_t file_header = kPeHeader + 4;
    put(bytes, file_header + 2, 2, 2);  // sections
    put(bytes, file_header + 4, 0x5F000000, 4);
    put(bytes, file_header + 16, kOptionalSize, 2);
    const std::size_t optional = file_header + 20;
    put(bytes, optional, 0x20B, 2);
    put(bytes, optional + 24, 0x140000000, 8);
    put(bytes, optional + 56, 0x9000, 4);
    put(bytes, optional + 64, 0x1234, 4);
    info_at = kSections + 2 * 40;
    const std::size_t symbols = info_at + info.size() + 8;  // 8 bytes of padding in the section
    // Two symbols of 18 bytes, then the string table: its size, then "/4" points here.
    put(bytes, file_header + 8, symbols, 4);
    put(bytes, file_header + 12, 2, 4);
    const std::string names = info_name + '\0' + "_ZN2ns3runEv" + '\0';
    strings = symbols + 2 * 18;
    put(bytes, strings, 4 + names.size(), 4);
    bytes.resize(strings + 4);
    bytes.insert(bytes.end(), names.begin(), names.end());
    // Two functions of .text: a short name in place, a long one in the string table.
    symbol(symbols, "main", 0x40);
    symbol(symbols + 18, "", 0x10);
    put(bytes, symbols + 18 + 4, 4 + info_name.size() + 1, 4);
    section(0, ".text", 0x1000, 0, 0);
    put(bytes, kSections + 12, 0x1000, 4);
    name_field = kSections + 40;
    section(1, "/4", static_cast<std::uint32_t>(info.size()), info_at, info.size() + 8);
    std::copy(info.begin(), info.end(), bytes.begin() + static_cast<std::ptrdiff_t>(info_at));
  }

  void section(std::size_t index, const std::string& name, std::uint32_t virtual_size,
               std::size_t raw_offset, std::size_t raw_size) {
    const std::size_t at = kSections + index * 40;
    if (bytes.size() < at + 40) bytes.resize(at + 40);
    for (std::size_t i = 0; i < 8; ++i) bytes[at + i] = i < name.size() ? name[i] : 0;
    put(bytes, at + 8, virtual_size, 4);
    put(bytes, at + 16, raw_size, 4);
    put(bytes, at + 20, raw_offset, 4);
  }

  void symbol(std::size_t at, const std::string& name, std::uint32_t value) {
    for (std::size_t i = 0; i < 8; ++i) bytes[at + i] = i < name.size() ? name[i] : 0;
    put(bytes, at + 8, value, 4);
    put(bytes, at + 12, 1, 2);     // .text
    put(bytes, at + 14, 0x20, 2);  // a function
    put(bytes, at + 16, 2, 1);     // external
  }

  void rename(const std::string& name) {
    for (std::size_t i = 0; i < 8; ++i) bytes[name_field + i] = i < name.size() ? name[i] : 0;
  }

  std::string info_of(std::vector<std::vector<unsigned char>>* inflated = nullptr) const {
    PeImage image;
    if (!image.read(bytes.data(), bytes.size())) return "<not read>";
    const auto section = image.dwarf_sections(inflated).info;
    return std::string(reinterpret_cast<const char*>(section.data), section.size);
  }
};

TEST(PeImage, FindsSectionsByTheirLongNamesAndTheImageFields) {
  const Image built("entries");
  PeImage image;
  ASSERT_TRUE(image.read(built.bytes.data(), built.bytes.size()));
  EXPECT_EQ(image.image_base(), 0x140000000u);
  EXPECT_EQ(image.image_size(), 0x9000u);
  EXPECT_EQ(image.time_stamp(), 0x5F000000u);
  EXPECT_EQ(image.checksum(), 0x1234u);
  // The size in memory, not the padded size in the file.
  EXPECT_EQ(built.info_of(), "entries");
  const std::vector<FunctionSymbol> symbols = image.function_symbols();
  ASSERT_EQ(symbols.size(), 2u);
  EXPECT_EQ(std::string(symbols[0].name, symbols[0].length), "_ZN2ns3runEv");
  EXPECT_EQ(symbols[0].address, 0x140001010u);
  EXPECT_EQ(std::string(symbols[1].name, symbols[1].length), "main");
  EXPECT_EQ(symbols[1].address, 0x140001040u);
  // A section without bytes in the file is no section to read.
  EXPECT_TRUE(image.section(".text").empty());
  EXPECT_TRUE(image.section(".debug_line").empty());
}

TEST(PeImage, DamagedNamesAndSectionsGiveNoSection) {
  for (const char* bad_name : {"/0", "/3", "/99999", "/4x", "/"}) {
    Image built("entries");
    built.rename(bad_name);
    EXPECT_EQ(built.info_of(), "") << bad_name;
  }
  Image past_end("entries");
  put(past_end.bytes, kSections + 40 + 20, past_end.bytes.size() - 3, 4);
  EXPECT_EQ(past_end.info_of(), "");
  // A string table whose stated size runs past the file: long names stay unresolved.
  Image long_table("entries");
  put(long_table.bytes, long_table.strings, 0x7FFFFFFF, 4);
  EXPECT_EQ(long_table.info_of(), "");
  PeImage image;
  ASSERT_TRUE(image.read(long_table.bytes.data(), long_table.bytes.size()));
  EXPECT_EQ(image.function_symbols().size(), 1u);
  // Symbols of a section that does not exist are no functions.
  Image bad_section("entries");
  put(bad_section.bytes, bad_section.strings - 36 + 12, 7, 2);
  ASSERT_TRUE(image.read(bad_section.bytes.data(), bad_section.bytes.size()));
  EXPECT_EQ(image.function_symbols().size(), 1u);
}

TEST(PeImage, EveryCutOfTheFileIsReadWithinItsBytes) {
  const Image built("entries");
  std::size_t read = 0;
  for (std::size_t size = 0; size < built.bytes.size(); ++size) {
    // A copy of exactly `size` bytes, so that a sanitizer sees any read past it.
    const std::vector<unsigned char> cut(built.bytes.begin(),
                                         built.bytes.begin() + static_cast<std::ptrdiff_t>(size));
    PeImage image;
    if (!image.read(cut.data(), cut.size())) continue;
    ++read;
    const auto info = image.dwarf_sections().info;
    if (!info.empty()) {
      EXPECT_LE(info.data + info.size, cut.data() + cut.size());
    }
    for (const FunctionSymbol& symbol : image.function_symbols()) {
      EXPECT_LE(symbol.name + symbol.length, reinterpret_cast<const char*>(cut.data() + size));
    }
  }
  // Headers complete from the section table on; names resolve once the string table is whole.
  EXPECT_GT(read, 0u);
  EXPECT_EQ(built.info_of(), "entries");
  const std::vector<unsigned char> not_pe(64, 0);
  PeImage image;
  EXPECT_FALSE(image.read(not_pe.data(), not_pe.size()));
  EXPECT_FALSE(image.read(nullptr, 0));
}

// ".zdebug_info": "ZLIB", the plain size in big-endian order, a zlib stream.
std::string compressed(const std::string& plain, std::uint64_t claimed_size) {
  std::vector<unsigned char> stream(compressBound(static_cast<uLong>(plain.size())));
  uLongf size = static_cast<uLongf>(stream.size());
  compress(stream.data(), &size, reinterpret_cast<const Bytef*>(plain.data()),
           static_cast<uLong>(plain.size()));
  std::string section = "ZLIB";
  for (int shift = 56; shift >= 0; shift -= 8) section += static_cast<char>(claimed_size >> shift);
  return section + std::string(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(size));
}

TEST(PeImage, InflatesCompressedSectionsWithinTheirClaimedSize) {
  std::string plain;
  for (int i = 0; i < 5000; ++i) plain += "entry " + std::to_string(i % 97) + ";";
  std::vector<std::vector<unsigned char>> inflated;
  EXPECT_EQ(Image(compressed(plain, plain.size()), ".zdebug_info").info_of(&inflated), plain);
  EXPECT_EQ(inflated.size(), 1u);
  // Without room for inflated bytes the section is missing.
  EXPECT_EQ(Image(compressed(plain, plain.size()), ".zdebug_info").info_of(), "");

  // A claimed size the stream does not fill exactly, a size beyond the bound, a cut stream or
  // another header: no section, and nothing kept.
  std::string cut = compressed(plain, plain.size());
  cut.resize(cut.size() - 9);
  std::string other_header = compressed(plain, plain.size());
  other_header[0] = 'X';
  for (const std::string& damaged :
       {compressed(plain, plain.size() + 1), compressed(plain, plain.size() - 1),
        compressed(plain, quillmark::debuginfo::kMostInflatedSectionBytes + 1),
        compressed(plain, ~std::uint64_t{0}), cut, other_header, std::string("ZLIB\0\0"),
        std::string("ZLIB") + std::string(8, '\0')}) {
    inflated.clear();
    EXPECT_EQ(Image(damaged, ".zdebug_info").info_of(&inflated), "");
    EXPECT_TRUE(inflated.empty());
  }
  // A plain section wins over a compressed one of the same name.
  EXPECT_EQ(Image("entries").info_of(&inflated), "entries");
}

}  // namespace
