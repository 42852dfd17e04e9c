// The symbol search path from odd answers of the system: executable paths that fill their buffer
// without a terminator, environment values that change size between the two reads or hold NULs
// and quotes, registry values of any type and length. The path always ends in ';' (or is empty),
// holds no quote and no NUL before its end, and starts with the three folders beside the
// executable.
#include <fuzzer/FuzzedDataProvider.h>

#include <cwchar>
#include <memory>
#include <string>

#include "callstack/symbol_handler.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  quillmark::testing::ScopedFakeDebugHelp help;
  quillmark::fuzzing::fill_debug_help(input, *help);

  const std::unique_ptr<wchar_t[]> path = resmonitor::build_symbol_search_path();
  FUZZ_CHECK(path != nullptr);
  const std::wstring text(path.get());
  FUZZ_CHECK(text.find(L'"') == std::wstring::npos);
  FUZZ_CHECK(!text.empty() && text.back() == L';');
  // Entries 2 and 3 are the "pdb" and "SymbolTable" folders derived from the first.
  std::size_t entries = 0;
  for (wchar_t c : text) entries += c == L';' ? 1 : 0;
  FUZZ_CHECK(entries >= 3);
  FUZZ_CHECK(text.find(L"SymbolTable;") != std::wstring::npos);
  return 0;
}
