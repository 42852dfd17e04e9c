// The function symbols of one module, sorted by address. libdw's own address look-up scans the
// whole symbol table on every call; this table is built once per module and searched in
// logarithmic time.
#pragma once

#include <elfutils/libdwfl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quillmark::platform::posix {

// A function of a module's symbol table, with the name it is shown under once looked up.
struct FunctionSymbol {
  std::uint64_t address;
  std::uint64_t size;
  const char* name;  // owned by libdw, alive as long as the Dwfl
  int binding_rank;  // global before weak before local, for aliases at one address
  std::wstring shown_name;
};

class FunctionTable {
 public:
  explicit FunctionTable(Dwfl_Module* module);

  // The function that holds `address`; a function of unknown size reaches up to the next one.
  FunctionSymbol* find(std::uint64_t address);

 private:
  std::vector<FunctionSymbol> functions_;
};

}  // namespace quillmark::platform::posix
