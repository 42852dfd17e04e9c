#include "callstack/path_text.h"

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

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool has_drive(const std::wstring& path) {
  return path.size() >= 2 && is_drive_letter(path[0]) && path[1] == L':';
}

bool is_absolute_drive_path(const std::wstring& path) {
  return has_drive(path) && path.size() >= 3 && path[2] == kSeparator;
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

std::wstring normalize(const std::wstring& path) {
  std::wstring out;
  out.reserve(path.size() + kLongPathPrefix.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    const wchar_t c = path[i] == L'/' ? kSeparator : path[i];
    const bool repeats_separator = c == kSeparator && !out.empty() && out.back() == kSeparator;
    // The second separator of a leading pair survives when a name follows it.
    const bool network_pair =
        i == 1 && out.size() == 1 && path.size() > 2 && path[2] != L'/' && path[2] != kSeparator;
    if (repeats_separator && !network_pair) continue;
    out.push_back(c);
  }
  if (out.size() >= kLongPathLength && is_absolute_drive_path(out)) out.insert(0, kLongPathPrefix);
  return out;
}

std::wstring normalize_posix(const std::wstring& path) {
  std::wstring out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    const bool repeats_separator = path[i] == L'/' && !out.empty() && out.back() == L'/';
    const bool network_pair = i == 1 && path.size() > 2 && path[2] != L'/';
    if (repeats_separator && !network_pair) continue;
    out.push_back(path[i]);
  }
  return out;
}

std::wstring normalize_native(const std::wstring& path) {
  return quillmark::platform::native_path_style() == quillmark::platform::PathStyle::windows
             ? normalize(path)
             : normalize_posix(path);
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
