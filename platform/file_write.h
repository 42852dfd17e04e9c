// Writing a whole file so that a reader never sees half of it.
#pragma once

#include <string>

namespace quillmark::platform {

// Writes `content` to "<path>.tmp" and renames that over `path` (replacing an older file). A crash
// meanwhile leaves the old file (or none) and maybe the temporary one, never a partial `path`.
// `path` is UTF-8. False, with `path` untouched and the temporary file removed, when any step
// fails.
bool write_file_replacing(const std::string& path, const std::string& content);

}  // namespace quillmark::platform
