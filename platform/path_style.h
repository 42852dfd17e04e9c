// The path form of the operating system the library runs on, for text that users read and paste:
// Windows paths use backslashes, POSIX paths forward slashes (where a backslash is an ordinary
// character of a name).
#pragma once

namespace quillmark::platform {

enum class PathStyle { windows, posix };

PathStyle native_path_style();

}  // namespace quillmark::platform
