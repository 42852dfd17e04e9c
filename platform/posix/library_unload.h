// Tells an unload of the library (dlclose) from the end of the process, for static destructors
// that release what the process's end would release anyway.
#pragma once

namespace quillmark::platform::posix {

// True while the library's static destructors run because it is being unloaded; false while
// they run at process exit. The loader runs the library's destructor functions before its
// static destructors when it unloads it. At process exit it runs them after the static
// destructors that were put on the exit list once the program ran (function-local statics
// built on first use, and everything of a library loaded at run time), but before those that a
// library loaded with the program put there at load time (namespace-scope statics): a
// destructor function that raises a flag tells the two cases apart only for the former, so
// statics whose teardown needs to know are built on first use. Should a tool chain order them
// otherwise, an unload merely keeps what it could have released.
bool library_is_unloading();

}  // namespace quillmark::platform::posix
