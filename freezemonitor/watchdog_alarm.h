// When the watchdog wakes. Instead of passing every millisecond, the watchdog sleeps until the
// clock reaches the earliest moment a running task can pass a threshold (the due time), until a
// new task brings that moment forward, until someone asks for a pass, or until it is stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>

namespace freezemonitor {

class WatchdogAlarm {
 public:
  // A reading of the system clock in 100 ns ticks.
  using Clock = std::int64_t (*)();
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
  // While a task is traced the watchdog re-reads the clock at least this often even when nothing
  // is due, so a clock that is set forward (or a machine that slept) is noticed within it.
  static constexpr std::chrono::milliseconds kLongestSleep{100};

  explicit WatchdogAlarm(Clock clock) : clock_(clock) {}

  std::int64_t now() const { return clock_.load(std::memory_order_relaxed)(); }
  // Swaps the clock (tests move one by hand) and lets the watchdog re-read it.
  void set_clock(Clock clock);
  // Wakes the watchdog so that it looks at the clock and the due time again (a test clock
  // moved, or a setting changed); it passes only if something is due.
  void nudge();

  // Brings the due time forward to `due` if that is earlier; wakes the watchdog then. Cheap when
  // it is not earlier, the common case of a new task with the usual thresholds.
  void bring_forward(std::int64_t due);
  // The due time found by a pass (kNever: nothing runs).
  void set_due(std::int64_t due);
  std::int64_t due() const { return due_.load(); }

  // The watchdog's wait: returns true when a pass should run, false once stopped.
  bool wait_for_pass();
  // The watchdog finished the pass that wait_for_pass allowed.
  void pass_completed();
  // Stops the watchdog; wait_for_pass returns false from now on.
  void stop();

  // Asks for a pass even though nothing is due; the ticket is served by the first pass that
  // starts after this call.
  std::uint64_t request_pass();
  // Waits until `ticket` was served; false on timeout or once stopped.
  bool wait_until_served(std::uint64_t ticket, std::chrono::milliseconds timeout);

  // Around a fork: the lock is held while the process is copied. In the child the condition
  // variables may still count the parent's watchdog as a waiter, a thread the child does not
  // have, so they are replaced (not destroyed: destroying one would wait for that waiter).
  void lock_for_fork() { mutex_.lock(); }
  void unlock_after_fork() { mutex_.unlock(); }
  void forget_waiters_after_fork();

  std::uint64_t completed_passes() const { return passes_.load(); }
  // How often the watchdog's sleep ended (due, woken, or the longest sleep over).
  std::uint64_t wakeups() const { return wakeups_.load(); }

 private:
  bool pass_is_due() const;
  void sleep_until_due(std::unique_lock<std::mutex>& lock);

  std::atomic<Clock> clock_;
  // Guards requested_, taken_, served_, stopped_ and every write of due_. Taken after the
  // monitor's records_mutex, never before it.
  mutable std::mutex mutex_;
  std::condition_variable wake_;           // the watchdog sleeps on it
  std::condition_variable pass_done_;      // callers of wait_until_served sleep on it
  std::atomic<std::int64_t> due_{kNever};  // read without the lock by bring_forward's fast path
  std::uint64_t requested_ = 0;            // tickets handed out
  std::uint64_t taken_ = 0;                // tickets the running pass serves
  std::uint64_t served_ = 0;               // tickets served by completed passes
  bool stopped_ = false;
  std::atomic<std::uint64_t> passes_{0};
  std::atomic<std::uint64_t> wakeups_{0};
};

}  // namespace freezemonitor
