#include "platform/fork.h"

namespace quillmark::platform {

// Windows has no fork: a new process starts with nothing of its parent's.
void run_around_fork(ForkStep, ForkStep, ForkStep) {}

void abandon_thread(std::thread& thread) { static_cast<void>(new std::thread(std::move(thread))); }

}  // namespace quillmark::platform
