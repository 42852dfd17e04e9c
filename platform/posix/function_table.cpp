#include "platform/posix/function_table.h"

#include <algorithm>
#include <iterator>

namespace quillmark::platform::posix {

namespace {

int rank(int binding) {
  if (binding == STB_GLOBAL) return 0;
  return binding == STB_WEAK ? 1 : 2;
}

}  // namespace

FunctionTable::FunctionTable(Dwfl_Module* module) {
  const int count = dwfl_module_getsymtab(module);
  for (int i = 1; i < count; ++i) {
    GElf_Sym symbol = {};
    GElf_Addr address = 0;
    const char* name =
        dwfl_module_getsym_info(module, i, &symbol, &address, nullptr, nullptr, nullptr);
    const int type = GELF_ST_TYPE(symbol.st_info);
    if (name == nullptr || *name == '\0' || address == 0 ||
        (type != STT_FUNC && type != STT_GNU_IFUNC)) {
      continue;
    }
    functions_.push_back({address, symbol.st_size, name, rank(GELF_ST_BIND(symbol.st_info))});
  }
  std::sort(functions_.begin(), functions_.end(), [](const auto& a, const auto& b) {
    return a.address != b.address ? a.address < b.address : a.binding_rank < b.binding_rank;
  });
  // Of several names at one address, keep the best-ranked.
  functions_.erase(std::unique(functions_.begin(), functions_.end(),
                               [](const auto& a, const auto& b) { return a.address == b.address; }),
                   functions_.end());
}

const FunctionSymbol* FunctionTable::find(std::uint64_t address) const {
  auto next = std::upper_bound(functions_.begin(), functions_.end(), address,
                               [](std::uint64_t a, const auto& f) { return a < f.address; });
  if (next == functions_.begin()) return nullptr;
  const FunctionSymbol& function = *std::prev(next);
  const bool inside = function.size != 0 ? address - function.address < function.size
                                         : next == functions_.end() || address < next->address;
  return inside ? &function : nullptr;
}

}  // namespace quillmark::platform::posix
