#include "platform/platform.h"
#include "platform/posix/library_unload.h"

namespace quillmark::platform {

// Threads keep running through exit handlers and dlclose, so joins always work here.
bool other_threads_are_gone() { return false; }

bool teardown_is_process_exit() { return !posix::library_is_unloading(); }

void keep_library_loaded() {}

// dlclose runs the library's exit handlers, which join its threads, so nothing needs holding.
LibraryReference::LibraryReference() = default;
LibraryReference::~LibraryReference() = default;

}  // namespace quillmark::platform
