#include <pthread.h>

#include <cerrno>
#include <new>
#include <system_error>

#include "platform/fork.h"

namespace quillmark::platform {

void run_around_fork(ForkStep prepare, ForkStep parent, ForkStep child) {
  // Registered from this library, the steps are removed again when it is unloaded.
  const int error = pthread_atfork(prepare, parent, child);
  if (error != 0) throw std::system_error(error, std::generic_category(), "pthread_atfork");
}

void abandon_thread(std::thread& thread) {
  // One slot is enough: a process is only ever the child of one fork, and what an earlier fork
  // left here belongs to a thread that is as gone as the new one.
  alignas(std::thread) static unsigned char graveyard[sizeof(std::thread)];
  new (graveyard) std::thread(std::move(thread));
}

}  // namespace quillmark::platform
