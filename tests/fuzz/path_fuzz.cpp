// The path normaliser of the symbol search path and the stack text: any wide text goes in; what
// comes out has only backslashes, no doubled ones past a network pair, and normalising again
// changes nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "callstack/path_text.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using namespace resmonitor::path_text;

void check_normal_form(const std::wstring& path) {
  FUZZ_CHECK(path.find(L'/') == std::wstring::npos);
  // A doubled separator may only open the path (a network name or the long-path prefix).
  const std::size_t doubled = path.find(L"\\\\", 1);
  FUZZ_CHECK(doubled == std::wstring::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::wstring raw = quillmark::fuzzing::consume_wide(input, 400);

  const std::wstring normal = normalize(raw);
  check_normal_form(normal);
  FUZZ_CHECK(normalize(normal) == normal);

  const std::wstring lexical = lexically_normal(normal);
  check_normal_form(lexical);
  // Past a root name such as "\\.", no "." element stays.
  FUZZ_CHECK(lexical.find(L"\\.\\", 2) == std::wstring::npos);
  FUZZ_CHECK(!lexical.empty());

  const std::wstring folder = remove_filename(normal);
  FUZZ_CHECK(normal.compare(0, folder.size(), folder) == 0);
  FUZZ_CHECK(remove_filename(folder) == folder);
  return 0;
}
