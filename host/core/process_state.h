// Process-wide facts the base library needs during its own teardown.
#pragma once

namespace core::detail {

// True once the process has begun to terminate with its other threads already gone (Windows
// ends every other thread before it unloads DLLs at exit); joining a thread then would block
// forever. On Linux, where threads survive into static destruction, true only in a child of
// fork(), which never has the threads of its parent.
bool other_threads_are_gone();

}  // namespace core::detail
