// A mutex for data held a few hundred nanoseconds at a time by threads that often want it at
// once (the registry's maps, a stack store's counts). A waiter spins briefly before it sleeps:
// being put to sleep by the kernel and woken again costs far more than such a wait.
#pragma once

#include <cstddef>

namespace quillmark::platform {

class ShortLock {
 public:
  ShortLock();
  ~ShortLock();
  ShortLock(const ShortLock&) = delete;
  ShortLock& operator=(const ShortLock&) = delete;

  void lock();
  bool try_lock();
  void unlock();

 private:
  // Room for the operating system's lock object, which lives in place.
  alignas(8) unsigned char native_[48];
};

}  // namespace quillmark::platform
