// The PE/COFF reader and the DWARF resolver on any bytes, as a damaged or hostile module file
// would give them: the input is the image file, looked up at addresses spread over the first
// pages of its code. Its DWARF serves as its own supplementary file too, so that entries and
// strings referred to there are read as well. Nothing may read outside the copy of the input, every symbol name lies
// inside it, and a line or function found starts at or before the address.
#include <cstdint>
#include <vector>

#include "debuginfo/dwarf_resolver.h"
#include "debuginfo/function_symbols.h"
#include "debuginfo/pe_image.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using namespace quillmark::debuginfo;

constexpr std::uint64_t kFirstCode = 0x1000;
constexpr std::uint64_t kStep = 0x7;
constexpr int kAddresses = 24;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of its own, so that the sanitizer sees a read past it.
  const std::vector<unsigned char> file(data, data + size);
  PeImage image;
  if (!image.read(file.data(), file.size())) return 0;
  const std::vector<FunctionSymbol> symbols = image.function_symbols();
  const auto* const begin = reinterpret_cast<const char*>(file.data());
  for (const FunctionSymbol& symbol : symbols) {
    FUZZ_CHECK(symbol.name >= begin && symbol.name + symbol.length <= begin + file.size());
  }
  const DwarfSections sections = image.dwarf_sections();
  DwarfResolver resolver(sections, &sections);
  for (int i = 0; i < kAddresses; ++i) {
    const std::uint64_t address = image.image_base() + kFirstCode + kStep * i;
    AddressInfo info;
    resolver.describe(address, info);
    name_by_symbol(symbols, address, info);
    FUZZ_CHECK(!info.has_line || info.line_address <= address);
    FUZZ_CHECK(!info.has_function || info.function_start <= address);
  }
  return 0;
}
