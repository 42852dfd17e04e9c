// The platform's lightest exclusive lock, for data held a few hundred nanoseconds at a time on
// every registration (the registry's slices, a stack store's counts): a plain glibc mutex on
// Linux, a slim reader/writer lock on Windows (lighter than the MinGW run-time's std::mutex,
// and it spins briefly before it waits).
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
