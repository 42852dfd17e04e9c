// Writing a whole file so that a reader never sees half of it.
#pragma once

#include <cstddef>
#include <string>

namespace quillmark::platform {

// Writes `content` to "<path>.tmp" and renames that over `path` (replacing an older file). A crash
// meanwhile leaves the old file (or none) and maybe the temporary one, never a partial `path`.
// `path` is UTF-8. False, with `path` untouched and the temporary file removed, when any step
// fails.
bool write_file_replacing(const std::string& path, const std::string& content);

// Tests only: `observer` is called after each piece (at most 64 KiB) is written to the temporary
// file, with the bytes written so far; null removes it. Not thread-safe.
using FileWriteObserver = void (*)(std::size_t written);
void set_file_write_observer_for_testing(FileWriteObserver observer);

}  // namespace quillmark::platform
