#include "platform/platform.h"
#include "platform/posix/library_unload.h"

namespace quillmark::platform {

// Threads keep running through exit handlers and dlclose, so joins always work here.
bool other_threads_are_gone() { return false; }

bool teardown_is_process_exit() { return !posix::library_is_unloading(); }

// dlclose runs the library's exit handlers, which join its threads, so nothing needs holding.
// Both are called as a thread of ours starts: its teardown must tell an exit from an unload.
void keep_library_loaded() { posix::watch_for_exit(); }

LibraryReference::LibraryReference() { posix::watch_for_exit(); }
LibraryReference::~LibraryReference() = default;

}  // namespace quillmark::platform
