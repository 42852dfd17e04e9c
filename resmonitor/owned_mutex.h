// A mutex that knows which thread holds it. The registry's teardown at process exit asks it
// whether the exiting thread is in the middle of the monitor's work (a library called during a
// resolution may end the process from there): waiting for the mutex would then never end.
// It is held for a few map operations at a time by threads that register at once: a ShortLock.
#pragma once

#include <atomic>
#include <thread>

#include "platform/short_lock.h"

namespace resmonitor {

class OwnedMutex {
 public:
  void lock() {
    mutex_.lock();
    note_owner();
  }
  bool try_lock() {
    if (!mutex_.try_lock()) return false;
    note_owner();
    return true;
  }
  void unlock() {
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
  }
  // Only a thread that holds the mutex can find itself as the owner, so relaxed order suffices.
  bool held_by_this_thread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  void note_owner() { owner_.store(std::this_thread::get_id(), std::memory_order_relaxed); }

  quillmark::platform::ShortLock mutex_;
  std::atomic<std::thread::id> owner_{};  // the holder; no thread while unlocked
};

}  // namespace resmonitor
