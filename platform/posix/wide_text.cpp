#include "platform/posix/wide_text.h"

#include <algorithm>
#include <cwchar>
#include <iterator>

#include <utf8cpp/utf8.h>

namespace quillmark::platform::posix {

static_assert(sizeof(wchar_t) == 4, "wide text is UTF-32 here");

std::wstring to_wide(const std::string& utf8_text) {
  // Paths and symbol names are nearly always ASCII, which needs no decoding.
  const bool ascii = std::all_of(utf8_text.begin(), utf8_text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return std::wstring(utf8_text.begin(), utf8_text.end());
  std::string valid;
  utf8::replace_invalid(utf8_text.begin(), utf8_text.end(), std::back_inserter(valid));
  std::wstring wide;
  utf8::utf8to32(valid.begin(), valid.end(), std::back_inserter(wide));
  return wide;
}

std::string to_utf8(const wchar_t* wide) {
  // ASCII (nearly every path and name) is copied as it is: a module list converts hundreds.
  const std::size_t length = std::wcslen(wide);
  if (std::all_of(wide, wide + length, [](wchar_t c) { return c >= 0 && c < 0x80; })) {
    std::string text(length, '\0');
    std::transform(wide, wide + length, text.begin(),
                   [](wchar_t c) { return static_cast<char>(c); });
    return text;
  }
  std::string text;
  for (; *wide != L'\0'; ++wide) {
    auto code_point = static_cast<std::uint32_t>(*wide);
    if (code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
      code_point = 0xFFFD;
    }
    utf8::append(code_point, std::back_inserter(text));
  }
  return text;
}

std::string to_file_path(const wchar_t* path) {
  std::string text = to_utf8(path);
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

std::uint32_t copy_out(const std::wstring& text, wchar_t* buffer, std::uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return 0;
  const std::size_t length = std::min<std::size_t>(text.size(), capacity - 1);
  std::wmemcpy(buffer, text.data(), length);
  buffer[length] = L'\0';
  return static_cast<std::uint32_t>(length);
}

}  // namespace quillmark::platform::posix
