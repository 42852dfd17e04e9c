// When the watchdog wakes. Instead of passing every millisecond, the watchdog sleeps until the
// clock reaches the earliest moment a running task can pass a threshold (the due time), until a
// new task brings that moment forward, until someone asks for a pass, or until it is stopped.
// Its timed sleeps also tell when the watchdog could not run: a wake that comes well after the
// moment asked for means the process was stopped (a debugger, SIGSTOP, a paused virtual machine),
// and a grown sleep reading means the system slept. That time is handed to the next pass, which
// leaves it out of the tasks' running time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>

namespace freezemonitor {

// Time the watchdog could not run: `ticks` of the monitor's clock, ending at its reading `until`.
struct SkippedTime {
  std::int64_t ticks = 0;
  std::int64_t until = 0;
};

// Leaves out of a task's running time the part of `skipped` that came after the task began, by
// moving its start (`start_ticks`) later.
void leave_out(std::int64_t& start_ticks, const SkippedTime& skipped);

class WatchdogAlarm {
 public:
  // A reading of the system clock in 100 ns ticks.
  using Clock = std::int64_t (*)();
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
  // While a task is traced the watchdog re-reads the clock at least this often even when nothing
  // is due, so a clock that is set forward (or a machine that slept) is noticed within it.
  static constexpr std::chrono::milliseconds kLongestSleep{100};

  // A timed wake at most this late, or a sleep of the system at most this long, is counted as
  // the tasks' time as usual: an overloaded machine can delay the watchdog's wake by a good part
  // of a second without the tasks having stopped.
  static constexpr std::chrono::milliseconds kSkipMargin{1000};

  // `awake` runs while the system is up (any process state); `asleep` grows by the time the
  // system slept. Both in 100 ns ticks; only differences matter.
  WatchdogAlarm(Clock clock, Clock awake, Clock asleep);

  std::int64_t now() const { return clock_.load(std::memory_order_relaxed)(); }
  // Swaps the clock (tests move one by hand) and lets the watchdog re-read it.
  void set_clock(Clock clock);
  // Swaps the two readings that tell when the watchdog could not run (tests move them by hand).
  void set_suspension_clocks(Clock awake, Clock asleep);
  // Switches the search for time the watchdog could not run (on from the start); returns the
  // previous setting. Off, no pass is ever handed skipped time.
  bool set_suspension_skip(bool enabled);
  // Wakes the watchdog so that it looks at the clock and the due time again (a test clock
  // moved, or a setting changed); it passes only if something is due.
  void nudge();

  // Brings the due time forward to `due` if that is earlier; wakes the watchdog then. Cheap when
  // it is not earlier, the common case of a new task with the usual thresholds.
  void bring_forward(std::int64_t due);
  // The due time found by a pass (kNever: nothing runs).
  void set_due(std::int64_t due);
  std::int64_t due() const { return due_.load(); }

  // The watchdog's wait: returns true when a pass should run, false once stopped. `skipped` is
  // the time the watchdog could not run found since the last pass (ticks 0: none); finding some
  // makes a pass run at once.
  bool wait_for_pass(SkippedTime& skipped);
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
  // What a timed sleep expects: the readings of the clock and of the awake clock at the moment
  // it asked to wake, and the clocks in use then.
  struct ExpectedWake {
    std::int64_t clock;
    std::int64_t awake;
    std::uint64_t clocks_generation;
  };

  bool pass_is_due() const;
  void sleep_until_due(std::unique_lock<std::mutex>& lock);
  ExpectedWake expect_wake(std::int64_t now, std::int64_t sleep_ticks) const;
  // After a timed sleep: adds to skipped_ what the watchdog missed. mutex_ held.
  void note_skipped_time(const ExpectedWake& expected);
  // A new start for the sleep reading and for the sleep under way. mutex_ held.
  void restart_suspension_watch();
  std::int64_t asleep_reading() const { return asleep_clock_.load()(); }

  std::atomic<Clock> clock_;
  std::atomic<Clock> awake_clock_;
  std::atomic<Clock> asleep_clock_;
  std::atomic<bool> skip_suspension_{true};
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
  // Also guarded by mutex_: the time found since the last pass began, the sleep reading at the
  // last wake, and a count of clock swaps (a sleep that spans one compares unrelated readings).
  SkippedTime skipped_;
  std::int64_t asleep_mark_ = 0;
  std::uint64_t clocks_generation_ = 0;
  std::atomic<std::uint64_t> passes_{0};
  std::atomic<std::uint64_t> wakeups_{0};
};

}  // namespace freezemonitor
