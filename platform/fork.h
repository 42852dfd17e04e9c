// What a process fork means for the library's locks and threads.
//
// A child of fork() gets a copy of the parent's memory, every lock in it included, but only the
// thread that forked. A lock another thread held at that moment would stay locked in the child
// for good, and a thread object of the parent names a thread the child does not have.
#pragma once

#include <thread>

namespace quillmark::platform {

using ForkStep = void (*)();

// Runs `prepare` in the forking thread right before the fork, then `parent` in the parent and
// `child` in the child right after it. The steps stay registered until the library is unloaded.
// Does nothing where processes are not forked (Windows).
void run_around_fork(ForkStep prepare, ForkStep parent, ForkStep child);

// Gives up a thread object whose thread does not exist in this process (a child's copy of a
// parent's thread): it is neither joined nor detached, and never destroyed, so `thread` is left
// empty and may be given a new thread.
void abandon_thread(std::thread& thread);

}  // namespace quillmark::platform
