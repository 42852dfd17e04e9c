// The lock records are handed to the log sink under.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace core::detail {

// A mutex that knows its holder, so that its fork steps can tell a fork() made from inside a
// sink (a host starting a crash reporter from there) from one made elsewhere. The forking thread
// then already holds the lock; taking it again would wait for itself forever.
class SinkLock {
 public:
  void lock() {
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
  }
  void unlock() {
    owner_.store(std::thread::id());
    mutex_.unlock();
  }
  // Whether the calling thread holds the lock: it is inside the sink.
  bool held_by_this_thread() const { return owner_.load() == std::this_thread::get_id(); }

  // Right before a fork, on the forking thread: takes the lock unless this thread holds it
  // already, so that no other thread holds it while the process is copied.
  void lock_for_fork() {
    took_for_fork_ = !held_by_this_thread();
    if (took_for_fork_) lock();
  }
  // Right after it, in the parent and in the child: releases what lock_for_fork took. A lock
  // held by the sink that forked stays held; the sink releases it as it returns, in both.
  void unlock_after_fork() {
    if (took_for_fork_) unlock();
    took_for_fork_ = false;
  }

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};  // the holder; no thread while unlocked
  // Whether the fork under way on this thread took the lock.
  static thread_local bool took_for_fork_;
};

}  // namespace core::detail
