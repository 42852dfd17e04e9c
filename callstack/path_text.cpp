#include "callstack/path_text.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include <utf8cpp/utf8.h>

#include "platform/path_style.h"

namespace resmonitor::path_text {

namespace {

constexpr wchar_t kSeparator = L'\\';
constexpr char32_t kReplacement = 0xFFFD;
// Windows' classic path limit minus room for a file name of 8.3 form: from this length on, an
// absolute drive path needs the long-path prefix.
constexpr std::size_t kLongPathLength = 248;
const std::wstring kLongPathPrefix = L"\\\\?\\";

template <typename Char>
bool is_drive_letter(Char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool has_drive(const std::wstring& path) {
  return path.size() >= 2 && is_drive_letter(path[0]) && path[1] == L':';
}

// "\\server..." (exactly two separators, then a name) opens a network name.
bool opens_network_name(const std::wstring& path) {
  return path.size() >= 3 && path[0] == kSeparator && path[1] == kSeparator &&
         path[2] != kSeparator;
}

// Length of the root name: "C:" or "\\server"; 0 when there is none.
std::size_t root_name_length(const std::wstring& path) {
  if (has_drive(path)) return 2;
  if (opens_network_name(path)) {
    const std::size_t end = path.find(kSeparator, 2);
    return end == std::wstring::npos ? path.size() : end;
  }
  return 0;
}

std::vector<std::wstring> split_elements(const std::wstring& text) {
  std::vector<std::wstring> elements;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = text.find(kSeparator, start);
    if (end == std::wstring::npos) {
      elements.push_back(text.substr(start));
      break;
    }
    elements.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return elements;
}

void append_utf8(char32_t code_point, std::string& out) {
  if (code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    code_point = kReplacement;
  }
  utf8::append(static_cast<std::uint32_t>(code_point), std::back_inserter(out));
}

// Used only where wchar_t has 16 bits.
[[maybe_unused]] bool is_high_surrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
[[maybe_unused]] bool is_low_surrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

namespace {

// The rules of normalize() and normalize_posix(), for wide text and for UTF-8 alike: separators
// are ASCII, and no byte of a multi-byte UTF-8 sequence is.
template <typename Text>
Text normalize_windows_form(const Text& path) {
  using Char = typename Text::value_type;
  const Char separator = static_cast<Char>('\\');
  const Char slash = static_cast<Char>('/');
  Text out;
  out.reserve(path.size() + kLongPathPrefix.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    const Char c = path[i] == slash ? separator : path[i];
    const bool repeats_separator = c == separator && !out.empty() && out.back() == separator;
    // The second separator of a leading pair survives when a name follows it.
    const bool network_pair =
        i == 1 && out.size() == 1 && path.size() > 2 && path[2] != slash && path[2] != separator;
    if (repeats_separator && !network_pair) continue;
    out.push_back(c);
  }
  const bool absolute_drive_path = out.size() >= 3 && out[1] == static_cast<Char>(':') &&
                                   out[2] == separator && is_drive_letter(out[0]);
  if (out.size() >= kLongPathLength && absolute_drive_path) {
    out.insert(out.begin(), kLongPathPrefix.begin(), kLongPathPrefix.end());
  }
  return out;
}

template <typename Text>
Text normalize_posix_form(const Text& path) {
  using Char = typename Text::value_type;
  const Char slash = static_cast<Char>('/');
  Text out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    const bool repeats_separator = path[i] == slash && !out.empty() && out.back() == slash;
    const bool network_pair = i == 1 && path.size() > 2 && path[2] != slash;
    if (repeats_separator && !network_pair) continue;
    out.push_back(path[i]);
  }
  return out;
}

bool windows_paths() {
  return quillmark::platform::native_path_style() == quillmark::platform::PathStyle::windows;
}

}  // namespace

std::wstring normalize(const std::wstring& path) { return normalize_windows_form(path); }

std::wstring normalize_posix(const std::wstring& path) { return normalize_posix_form(path); }

std::wstring normalize_native(const std::wstring& path) {
  return windows_paths() ? normalize(path) : normalize_posix(path);
}

std::string normalize_native(const std::string& path) {
  return windows_paths() ? normalize_windows_form(path) : normalize_posix_form(path);
}

std::wstring lexically_normal(const std::wstring& path) {
  const std::size_t root_name = root_name_length(path);
  const bool has_root_dir = root_name < path.size() && path[root_name] == kSeparator;
  const std::wstring root = path.substr(0, root_name + (has_root_dir ? 1 : 0));
  const std::wstring relative = path.substr(root.size());

  std::vector<std::wstring> kept;
  bool trailing_separator = false;
  for (const std::wstring& element : split_elements(relative)) {
    trailing_separator = element.empty() || element == L"." || element == L"..";
    if (element.empty() || element == L".") continue;
    if (element == L"..") {
      if (!kept.empty() && kept.back() != L"..") {
        kept.pop_back();
      } else if (!has_root_dir) {
        kept.push_back(element);
        trailing_separator = false;
      }
      continue;
    }
    kept.push_back(element);
  }

  std::wstring out = root;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) out.push_back(kSeparator);
    out += kept[i];
  }
  if (trailing_separator && !kept.empty()) out.push_back(kSeparator);
  if (out.empty()) out = L".";
  return out;
}

std::wstring remove_filename(const std::wstring& path) {
  const std::size_t root_name = root_name_length(path);
  const std::size_t last_separator = path.find_last_of(kSeparator);
  if (last_separator != std::wstring::npos && last_separator >= root_name) {
    return path.substr(0, last_separator + 1);
  }
  return path.substr(0, root_name);
}

std::string to_utf8(const wchar_t* text, std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const auto unit = static_cast<std::uint32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (is_high_surrogate(unit) && i + 1 < length &&
          is_low_surrogate(static_cast<std::uint32_t>(text[i + 1]))) {
        const auto low = static_cast<std::uint32_t>(text[++i]);
        append_utf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), out);
        continue;
      }
    }
    append_utf8(static_cast<char32_t>(unit), out);
  }
  return out;
}

std::string to_utf8(const std::wstring& text) { return to_utf8(text.data(), text.size()); }

std::wstring from_utf8(const std::string& text) {
  std::string valid;
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid),
                        static_cast<std::uint32_t>(kReplacement));
  std::wstring out;
  out.reserve(valid.size());
  for (auto it = valid.begin(); it != valid.end();) {
    const std::uint32_t code_point = utf8::unchecked::next(it);
    if constexpr (sizeof(wchar_t) == 2) {
      if (code_point >= 0x10000) {
        out.push_back(static_cast<wchar_t>(0xD800 + ((code_point - 0x10000) >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF)));
        continue;
      }
    }
    out.push_back(static_cast<wchar_t>(code_point));
  }
  return out;
}

}  // namespace resmonitor::path_text

namespace resmonitor::path_text {

std::string valid_utf8(std::string_view text) {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || utf8::is_valid(text.begin(), text.end())) return std::string(text);
  std::string valid;
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid),
                        static_cast<std::uint32_t>(kReplacement));
  return valid;
}

WidePrefix wide_prefix(std::string_view text, std::size_t units) {
  WidePrefix prefix;
  std::size_t used = 0;
  while (prefix.bytes < text.size()) {
    const auto lead = static_cast<unsigned char>(text[prefix.bytes]);
    const std::size_t bytes = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    // A code point beyond the basic plane takes a surrogate pair where wchar_t has 16 bits.
    const std::size_t needed = bytes == 4 && sizeof(wchar_t) == 2 ? 2 : 1;
    if (used + needed > units) {
      prefix.splits_pair = used < units;
      break;
    }
    used += needed;
    prefix.bytes = std::min(text.size(), prefix.bytes + bytes);
  }
  prefix.units = used;
  return prefix;
}

}  // namespace resmonitor::path_text
