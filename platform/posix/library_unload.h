// Tells an unload of the library (dlclose) from the end of the process, for static destructors
// that release what the process's end would release anyway.
#pragma once

namespace quillmark::platform::posix {

// True while the library's static destructors run because it is being unloaded; false while
// they run at process exit. The loader runs the library's destructor functions before its
// static destructors when it unloads it. At process exit it runs them after the static
// destructors that were put on the exit list once the program ran (function-local statics built
// on first use, and everything of a library loaded at run time), but before those that a library
// loaded with the program put there at load time. So a destructor function alone would take an
// exit for an unload in the second case; watch_for_exit puts a notice on the exit list that an
// exit runs first. Should a tool chain order them otherwise, an unload merely keeps what it could
// have released.
bool library_is_unloading();

// Makes library_is_unloading tell an exit from an unload for every static destructor, by putting
// the exit notice on the exit list (once). Called when the library starts using something its
// teardown must treat differently at exit: a thread of its own, the symbol handler. Calls made
// before the program runs (from a library constructor) come too early to help.
void watch_for_exit();

}  // namespace quillmark::platform::posix
