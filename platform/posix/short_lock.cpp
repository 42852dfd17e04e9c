// glibc's adaptive mutex: a contended lock() retries for a while before it waits in the kernel.
#include "platform/short_lock.h"

#include <pthread.h>

namespace quillmark::platform {

namespace {

pthread_mutex_t& native(unsigned char* storage) {
  return *reinterpret_cast<pthread_mutex_t*>(storage);
}

}  // namespace

ShortLock::ShortLock() {
  static_assert(sizeof(pthread_mutex_t) <= sizeof native_, "room for the mutex");
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(&native(native_), &attributes);
  pthread_mutexattr_destroy(&attributes);
}

ShortLock::~ShortLock() { pthread_mutex_destroy(&native(native_)); }

void ShortLock::lock() { pthread_mutex_lock(&native(native_)); }

bool ShortLock::try_lock() { return pthread_mutex_trylock(&native(native_)) == 0; }

void ShortLock::unlock() { pthread_mutex_unlock(&native(native_)); }

}  // namespace quillmark::platform
