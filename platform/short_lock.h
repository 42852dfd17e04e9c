// The lock of data held for well under a microsecond at a time on every registration (the
// registry's slices, a stack store's counts). Taking and releasing a free one is one atomic
// instruction each, inline. A thread that finds it taken sleeps on the lock word at once (a
// futex on Linux, WaitOnAddress on Windows). Spinning first measured slower: two threads that
// register into the same slice then alternate at every call, and each call of each thread finds
// the slice's data in the other processor's cache; a sleeper instead lets the holder do several
// calls in a row.
#pragma once

#include <atomic>
#include <cstdint>

namespace quillmark::platform {

class ShortLock {
 public:
  ShortLock() = default;
  ShortLock(const ShortLock&) = delete;
  ShortLock& operator=(const ShortLock&) = delete;

  void lock() {
    if (!try_lock()) lock_contended();
  }
  bool try_lock() {
    std::uint32_t expected = kUnlocked;
    return state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void unlock() {
    if (state_.exchange(kUnlocked, std::memory_order_release) == kLockedWithSleepers) {
      wake_one_sleeper(state_);
    }
  }

 private:
  static constexpr std::uint32_t kUnlocked = 0;
  static constexpr std::uint32_t kLocked = 1;
  // Taken, and a thread may be asleep on it: the holder wakes one when it lets go.
  static constexpr std::uint32_t kLockedWithSleepers = 2;

  // Sleeps until the lock is free; returns holding it.
  void lock_contended();

  // The platform's sleep on a word: returns once woken, or at once if `word` no longer holds
  // `expected` (and sometimes for no reason: callers check again).
  static void sleep_while_equal(std::atomic<std::uint32_t>& word, std::uint32_t expected);
  // Wakes one thread sleeping on `word`, if any.
  static void wake_one_sleeper(std::atomic<std::uint32_t>& word);

  std::atomic<std::uint32_t> state_{kUnlocked};
};

}  // namespace quillmark::platform
