// Process-wide facts the base library needs during its own teardown.
#pragma once

namespace core::detail {

// True once the process has begun to terminate with its other threads already gone (Windows
// ends every other thread before it unloads DLLs at exit); joining a thread then would block
// forever. Always false where threads survive into static destruction.
bool other_threads_are_gone();

}  // namespace core::detail
