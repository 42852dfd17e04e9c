#include "platform/platform.h"

namespace quillmark::platform {

// Threads keep running through exit handlers and dlclose, so joins always work here.
bool other_threads_are_gone() { return false; }

void keep_library_loaded() {}

// dlclose runs the library's exit handlers, which join its threads, so nothing needs holding.
LibraryReference::LibraryReference() = default;
LibraryReference::~LibraryReference() = default;

}  // namespace quillmark::platform
