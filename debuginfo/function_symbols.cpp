#include "debuginfo/function_symbols.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "debuginfo/symbol_names.h"

namespace quillmark::debuginfo {

void name_by_symbol(const std::vector<FunctionSymbol>& symbols, std::uint64_t address,
                    AddressInfo& info) {
  if (!info.has_function) return;
  const auto after = std::upper_bound(
      symbols.begin(), symbols.end(), address,
      [](std::uint64_t wanted, const FunctionSymbol& symbol) { return wanted < symbol.address; });
  if (after == symbols.begin()) return;
  const FunctionSymbol& symbol = *std::prev(after);
  if (symbol.address < info.function_start) return;
  const std::string shown =
      shown_function_name(std::string(symbol.name, symbol.length).c_str(), true);
  if (shown.empty() || still_mangled(shown)) return;
  info.function = shown;
  info.function_start = symbol.address;
}

}  // namespace quillmark::debuginfo
