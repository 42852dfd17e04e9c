// Holds a thread at a chosen point until the test lets it go, and lets the test wait, without
// sleeping, until a thread is held there.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quillmark::testing {

class Gate {
 public:
  // Holds the first thread that arrives until release(); later arrivals pass.
  void hold() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (held_) return;
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
  }
  // For a thread that ended without reaching hold(): the wait for it gives up.
  void abandon() {
    std::lock_guard<std::mutex> lock(mutex_);
    abandoned_ = true;
    changed_.notify_all();
  }
  // Whether a thread is held, once one is or the wait was given up.
  bool wait_until_held(std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return held_ || abandoned_; });
    return held_;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;  // guards the three flags
  std::condition_variable changed_;
  bool held_ = false;
  bool abandoned_ = false;
  bool released_ = false;
};

}  // namespace quillmark::testing
