// Path normalisation and text conversion shared by the symbol search path and the stack text.
//
// The symbol search path is normalised the way a path in automatic format reads on Windows, on
// every target (the Linux handler turns it back into '/' paths). Text that users read, the frames
// of a stack, is normalised in the native form of the system. Wide text is UTF-16 where wchar_t
// has 16 bits (Windows) and UTF-32 where it has 32 (Linux).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace resmonitor::path_text {

// Every '/' becomes '\'; every run of backslashes becomes one, except that a leading pair that
// opens a network name ("\\server") stays a pair; an absolute drive path ("C:\...") of 248
// characters or more gets the "\\?\" prefix unless it already has it.
std::wstring normalize(const std::wstring& path);

// The POSIX form: every run of '/' becomes one, except that a leading pair that opens a network
// name ("//server") stays a pair; a backslash is an ordinary character and stays.
std::wstring normalize_posix(const std::wstring& path);

// normalize() on Windows, normalize_posix() on other systems; for wide text and for UTF-8.
std::wstring normalize_native(const std::wstring& path);
std::string normalize_native(const std::string& path);

// The lexically normal form of a normalised path: "." elements go, and so does each element
// followed by "..", as does a ".." right after the root; an empty result is ".".
std::wstring lexically_normal(const std::wstring& path);

// Removes the last element (the file name) of a normalised path and keeps the separator before
// it: "C:\App\bin\host.exe" gives "C:\App\bin\". A path ending in a separator stays unchanged.
std::wstring remove_filename(const std::wstring& path);

// Wide text to UTF-8; ill-formed code units (a lone surrogate, a value beyond U+10FFFF) become
// U+FFFD.
std::string to_utf8(const wchar_t* text, std::size_t length);
std::string to_utf8(const std::wstring& text);

// UTF-8 to wide text; ill-formed sequences become U+FFFD.
std::wstring from_utf8(const std::string& text);

// `text` with each ill-formed UTF-8 sequence replaced by U+FFFD.
std::string valid_utf8(std::string_view text);

// The longest start of the valid UTF-8 `text` that takes at most `units` wide characters of the
// system (UTF-16 units on Windows, code points on Linux): where the wide interfaces of the symbol
// handler cut a text.
struct WidePrefix {
  std::size_t bytes = 0;
  std::size_t units = 0;
  // The cut falls inside a surrogate pair: wide text cut there ends in half of one, which reads
  // as U+FFFD.
  bool splits_pair = false;
};
WidePrefix wide_prefix(std::string_view text, std::size_t units);

}  // namespace resmonitor::path_text
