// Process-wide facts the base library needs during its own teardown.
#pragma once

namespace core::detail {

// True once the process has begun to terminate with its other threads already gone (Windows
// ends every other thread before it unloads DLLs at exit); joining a thread then would block
// forever. On Linux, where threads survive into static destruction, true only in a child of
// fork(), which never has the threads of its parent.
bool other_threads_are_gone();

// Holds a lock across fork(): `lock` runs in the forking thread right before the fork, `unlock`
// in the parent and in the child right after it, so that a child never inherits the lock held
// by a thread it does not have. Does nothing where processes are not forked (Windows).
void hold_across_fork(void (*lock)(), void (*unlock)());

}  // namespace core::detail
