#include "platform/platform.h"

namespace quillmark::platform {

// Threads keep running through exit handlers and dlclose, so joins always work here.
bool other_threads_are_gone() { return false; }

void keep_library_loaded() {}

}  // namespace quillmark::platform
