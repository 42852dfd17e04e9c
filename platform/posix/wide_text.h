// Conversions between the seam's wide text (UTF-32 on Linux) and the UTF-8 of the system's
// interfaces.
#pragma once

#include <cstdint>
#include <string>

namespace quillmark::platform::posix {

// UTF-8 to wide text; ill-formed sequences become U+FFFD.
std::wstring to_wide(const std::string& utf8_text);
// Wide text to UTF-8; values that are no Unicode scalar become U+FFFD.
std::string to_utf8(const wchar_t* wide);
// A path in the subsystem's backslash form as a file-system path.
std::string to_file_path(const wchar_t* path);
// Copies `text` into `buffer`, cut to `capacity` - 1 characters and terminated; returns the
// length copied (0 when there is no room at all).
std::uint32_t copy_out(const std::wstring& text, wchar_t* buffer, std::uint32_t capacity);

}  // namespace quillmark::platform::posix
