// A mutex that knows which thread holds it. The registry's teardown at process exit asks it
// whether the exiting thread is in the middle of the monitor's work (a library called during a
// resolution may end the process from there): waiting for the mutex would then never end.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace resmonitor {

class OwnedMutex {
 public:
  void lock() {
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
  }
  bool try_lock() {
    if (!mutex_.try_lock()) return false;
    owner_.store(std::this_thread::get_id());
    return true;
  }
  void unlock() {
    owner_.store(std::thread::id());
    mutex_.unlock();
  }
  bool held_by_this_thread() const { return owner_.load() == std::this_thread::get_id(); }

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};  // the holder; no thread while unlocked
};

}  // namespace resmonitor
