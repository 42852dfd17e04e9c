// Tells an unload of the library (dlclose) from the end of the process, for static destructors
// that release what the process's end would release anyway.
#pragma once

namespace quillmark::platform::posix {

// True while the library's static destructors run because it is being unloaded; false while
// they run at process exit. The loader runs the library's destructor functions before its
// static destructors when it unloads it, and after them at exit: a destructor function that
// raises a flag is seen by the static destructors only in the first case. Should a tool chain
// order them otherwise, an unload merely keeps what it could have released.
bool library_is_unloading();

}  // namespace quillmark::platform::posix
