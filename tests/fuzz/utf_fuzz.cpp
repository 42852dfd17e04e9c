// UTF-8 to wide text and back, checked against a validator of this file's own: every output is
// well-formed, well-formed input survives the round trip unchanged, and the stack-text
// normaliser never hands out ill-formed UTF-8.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "callstack/path_text.h"
#include "callstack/stack_text.h"
#include "platform/path_style.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using namespace resmonitor::path_text;

// The shortest-form rules of UTF-8, with surrogates and values above U+10FFFF refused.
bool well_formed_utf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t value = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      value = lead & 0x07u;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3Fu);
    }
    const std::uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

bool well_formed_wide(const std::wstring& text) {
  for (wchar_t unit : text) {
    const auto value = static_cast<std::uint32_t>(unit);
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string bytes = input.ConsumeRandomLengthString(400);
  const std::wstring wide = quillmark::fuzzing::consume_wide(input, 200);

  const std::wstring decoded = from_utf8(bytes);
  FUZZ_CHECK(well_formed_wide(decoded));
  const std::string reencoded = to_utf8(decoded);
  FUZZ_CHECK(well_formed_utf8(reencoded));
  if (well_formed_utf8(bytes)) FUZZ_CHECK(reencoded == bytes);

  const std::string encoded = to_utf8(wide);
  FUZZ_CHECK(well_formed_utf8(encoded));
  if (well_formed_wide(wide)) FUZZ_CHECK(from_utf8(encoded) == wide);

  const std::string stack_text = resmonitor::normalize_stack_text(bytes);
  FUZZ_CHECK(well_formed_utf8(stack_text));
  // Windows text keeps backslashes only; Linux text keeps its own separator, never doubled
  // (a leading pair names a network root and stays).
  if (quillmark::platform::native_path_style() == quillmark::platform::PathStyle::windows) {
    FUZZ_CHECK(stack_text.find('/') == std::string::npos);
  } else {
    FUZZ_CHECK(stack_text.find("//", 1) == std::string::npos);
  }
  FUZZ_CHECK(resmonitor::normalize_stack_text(stack_text) == stack_text);
  return 0;
}
