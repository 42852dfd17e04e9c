#include "callstack/resolution_lock.h"

#include "platform/fork.h"

namespace resmonitor {

std::mutex& resolution_mutex() {
  // Constant-initialised, and its destructor does nothing: a resolution may still run on a thread
  // the host leaves behind at exit, and an unload leaves no allocation behind.
  static std::mutex mutex;
  return mutex;
}

namespace {

void lock_resolution() { resolution_mutex().lock(); }
void unlock_resolution() { resolution_mutex().unlock(); }

// Registered while the library loads, before either monitor registers its own fork steps: the
// steps that run before a fork run in reverse order of registration, so this lock is taken last,
// after the registry's locks and records_mutex, as the lock order wants.
[[maybe_unused]] const bool g_fork_steps_registered = [] {
  quillmark::platform::run_around_fork(&lock_resolution, &unlock_resolution, &unlock_resolution);
  return true;
}();

}  // namespace

}  // namespace resmonitor
