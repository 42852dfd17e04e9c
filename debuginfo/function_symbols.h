// Functions named by their symbols, as Linux names them by their ELF symbols: where a symbol
// starts inside the code of the function the DWARF found, before the address, its demangled name
// is the function's. The DWARF of a template instance whose arguments have no linkage (a lambda's
// type) carries no linkage name, and its qualified DWARF name reads otherwise ("<lambda()>" for
// "{lambda()#1}").
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "debuginfo/dwarf_resolver.h"

namespace quillmark::debuginfo {

// A function symbol: its address as the module is linked, and its name (in the module's bytes,
// not terminated).
struct FunctionSymbol {
  std::uint64_t address = 0;
  const char* name = nullptr;
  std::size_t length = 0;
};

// Renames the function of `info`, found for `address`, after the symbol in `symbols` (sorted by
// address) that starts at or after the function's code range and not after the address, unless
// the demangler cannot read it. Moves info.function_start to the symbol.
void name_by_symbol(const std::vector<FunctionSymbol>& symbols, std::uint64_t address,
                    AddressInfo& info);

}  // namespace quillmark::debuginfo
