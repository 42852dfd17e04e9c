// A task thread that hangs inside a known function, stuck_in_decoder(), until released: waiting
// on a condition variable (in the kernel), or spinning in user code. A waiting one can be moved on
// to hang in a second function, stuck_in_encoder(), first.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#endif

#include "platform/thread_capture.h"

namespace quillmark::testing {

class StuckThread {
 public:
  enum class Hang { kWaiting, kSpinning };

  // `before_hanging` runs on the thread first (to create its tracer). With `blocked_signal` (not
  // 0, Linux) the thread blocks that signal while it hangs and unblocks it before it ends.
  explicit StuckThread(std::function<void()> before_hanging = nullptr, int blocked_signal = 0,
                       Hang hang = Hang::kWaiting)
      : hang_(hang),
        thread_([this, before_hanging, blocked_signal] { run(before_hanging, blocked_signal); }) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stuck_; });
  }
  ~StuckThread() {
    release();
    thread_.join();
  }
  StuckThread(const StuckThread&) = delete;
  StuckThread& operator=(const StuckThread&) = delete;

  platform::ThreadId id() const { return id_; }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    spin_released_.store(true);
    changed_.notify_all();
  }
  // From stuck_in_decoder() to stuck_in_encoder(); returns once the thread hangs there.
  void move_on() {
    std::unique_lock<std::mutex> lock(mutex_);
    moved_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return in_encoder_; });
  }

 private:
  void run(const std::function<void()>& before_hanging, int blocked_signal) {
#if !defined(_WIN32)
    sigset_t blocked;
    sigemptyset(&blocked);
    if (blocked_signal != 0) sigaddset(&blocked, blocked_signal);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
#else
    (void)blocked_signal;
#endif
    id_ = platform::current_thread_id();
    if (before_hanging) before_hanging();
    stuck_in_decoder();
    if (moved_) stuck_in_encoder();
#if !defined(_WIN32)
    // A capture request still pending arrives now, late, and must be ignored.
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
#endif
  }

  __attribute__((noinline)) void stuck_in_decoder() {
    std::unique_lock<std::mutex> lock(mutex_);
    stuck_ = true;
    changed_.notify_all();
    if (hang_ == Hang::kSpinning) {
      lock.unlock();
      while (!spin_released_.load()) {
      }
    } else {
      changed_.wait(lock, [&] { return released_ || moved_; });
    }
    asm volatile("" ::: "memory");
  }

  __attribute__((noinline)) void stuck_in_encoder() {
    std::unique_lock<std::mutex> lock(mutex_);
    in_encoder_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
    asm volatile("" ::: "memory");
  }

  std::mutex mutex_;  // guards the four below
  std::condition_variable changed_;
  bool stuck_ = false;
  bool released_ = false;
  bool moved_ = false;
  bool in_encoder_ = false;
  std::atomic<bool> spin_released_{false};
  const Hang hang_;
  platform::ThreadId id_ = 0;
  std::thread thread_;
};

}  // namespace quillmark::testing
