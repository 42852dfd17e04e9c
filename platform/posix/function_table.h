// The function symbols of one module, sorted by address. libdw's own address look-up scans the
// whole symbol table on every call; this table is built once per module and searched in
// logarithmic time.
#pragma once

#include <elfutils/libdwfl.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillmark::platform::posix {

// A function of a module's symbol table. Small and trivially copied: a module's table is sorted
// when its first frame is resolved, and large modules have thousands of functions.
struct FunctionSymbol {
  std::uint64_t address;
  std::uint64_t size;
  const char* name;  // owned by libdw, alive as long as the Dwfl
  int binding_rank;  // global before weak before local, for aliases at one address
};

class FunctionTable {
 public:
  explicit FunctionTable(Dwfl_Module* module);

  // The function that holds `address`; a function of unknown size reaches up to the next one.
  const FunctionSymbol* find(std::uint64_t address) const;
  // The name `function` is shown under, kept once it is made (empty until then).
  std::string& shown_name(const FunctionSymbol& function) { return shown_names_[function.address]; }

 private:
  std::vector<FunctionSymbol> functions_;
  std::unordered_map<std::uint64_t, std::string> shown_names_;  // by function address
};

}  // namespace quillmark::platform::posix
