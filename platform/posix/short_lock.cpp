// A plain glibc mutex: its uncontended lock is the cheapest glibc has. (An adaptive one, which
// spins before it sleeps, measured slower here: with the registry in slices, waits are rare.)
#include "platform/short_lock.h"

#include <pthread.h>

#include <new>

namespace quillmark::platform {

namespace {

pthread_mutex_t& native(unsigned char* storage) {
  return *std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

}  // namespace

ShortLock::ShortLock() {
  static_assert(sizeof(pthread_mutex_t) <= sizeof native_, "room for the mutex");
  new (native_) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER);
}

ShortLock::~ShortLock() { pthread_mutex_destroy(&native(native_)); }

void ShortLock::lock() { pthread_mutex_lock(&native(native_)); }

bool ShortLock::try_lock() { return pthread_mutex_trylock(&native(native_)) == 0; }

void ShortLock::unlock() { pthread_mutex_unlock(&native(native_)); }

}  // namespace quillmark::platform
