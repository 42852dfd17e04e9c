#include "freezemonitor/watchdog_alarm.h"

#include <algorithm>
#include <new>

namespace freezemonitor {

namespace {

constexpr std::int64_t kNanosecondsPerTick = 100;
constexpr std::int64_t kSkipMarginTicks =
    std::chrono::duration_cast<std::chrono::nanoseconds>(WatchdogAlarm::kSkipMargin).count() /
    kNanosecondsPerTick;

}  // namespace

WatchdogAlarm::WatchdogAlarm(Clock clock, Clock awake, Clock asleep)
    : clock_(clock), awake_clock_(awake), asleep_clock_(asleep), asleep_mark_(asleep()) {}

void WatchdogAlarm::set_clock(Clock clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_.store(clock);
  restart_suspension_watch();
  wake_.notify_one();
}

void WatchdogAlarm::set_suspension_clocks(Clock awake, Clock asleep) {
  std::lock_guard<std::mutex> lock(mutex_);
  awake_clock_.store(awake);
  asleep_clock_.store(asleep);
  restart_suspension_watch();
  wake_.notify_one();
}

// Switched on again, the search starts afresh: a sleep while it was off is not looked back on.
bool WatchdogAlarm::set_suspension_skip(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  restart_suspension_watch();
  return skip_suspension_.exchange(enabled);
}

void WatchdogAlarm::restart_suspension_watch() {
  asleep_mark_ = asleep_reading();
  ++clocks_generation_;
}

void WatchdogAlarm::nudge() {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_.notify_one();
}

void WatchdogAlarm::bring_forward(std::int64_t due) {
  if (due >= due_.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (due >= due_.load()) return;
  due_.store(due);
  wake_.notify_one();
}

void WatchdogAlarm::set_due(std::int64_t due) {
  std::lock_guard<std::mutex> lock(mutex_);
  due_.store(due);
}

// Skipped time is handed over at once: the due time was found without it, and the tasks created
// from now on must not have it left out of their time.
bool WatchdogAlarm::pass_is_due() const {
  return requested_ != taken_ || skipped_.ticks > 0 || now() >= due_.load();
}

bool WatchdogAlarm::wait_for_pass(SkippedTime& skipped) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopped_ && !pass_is_due()) sleep_until_due(lock);
  if (stopped_) return false;
  // The pass starts after every request made so far, so it serves them all.
  taken_ = requested_;
  skipped = skipped_;
  skipped_ = SkippedTime{};
  return true;
}

// The sleep is measured on the steady clock, the due time on the system clock: converting the
// remaining time once per sleep is enough, as the caller reads the system clock again on waking.
void WatchdogAlarm::sleep_until_due(std::unique_lock<std::mutex>& lock) {
  const std::int64_t due = due_.load();
  if (due == kNever) {
    wake_.wait(lock);
    // Nothing was traced while the watchdog idled, so a sleep of the system then is no task's.
    if (skip_suspension_.load()) restart_suspension_watch();
  } else {
    const std::int64_t now_ticks = now();
    if (now_ticks >= due) return;
    // due is later than now here, so the unsigned difference is the true distance.
    const std::uint64_t remaining_ticks =
        static_cast<std::uint64_t>(due) - static_cast<std::uint64_t>(now_ticks);
    const auto longest = std::chrono::duration_cast<std::chrono::nanoseconds>(kLongestSleep);
    const auto remaining =
        remaining_ticks >= static_cast<std::uint64_t>(longest.count() / kNanosecondsPerTick)
            ? longest
            : std::chrono::nanoseconds(static_cast<std::int64_t>(remaining_ticks) *
                                       kNanosecondsPerTick);
    const bool watch = skip_suspension_.load();
    const ExpectedWake expected =
        watch ? expect_wake(now_ticks, remaining.count() / kNanosecondsPerTick) : ExpectedWake{};
    wake_.wait_until(lock, std::chrono::steady_clock::now() + remaining);
    if (watch) note_skipped_time(expected);
  }
  wakeups_.fetch_add(1);
}

WatchdogAlarm::ExpectedWake WatchdogAlarm::expect_wake(std::int64_t now,
                                                       std::int64_t sleep_ticks) const {
  return {now + sleep_ticks, awake_clock_.load()() + sleep_ticks, clocks_generation_};
}

// Lateness is judged on the awake clock, which no one sets and which stands still while the
// system sleeps; the time left out is measured on the monitor's clock, the one the tasks' time is
// read from. Any wake counts, not only a timed one: after a stop, a new task may nudge the
// watchdog before its own timer fires. A stop and a sleep of the system within one wake overlap
// on the monitor's clock, so the longer of the two is taken.
void WatchdogAlarm::note_skipped_time(const ExpectedWake& expected) {
  if (expected.clocks_generation != clocks_generation_) return;
  const std::int64_t clock_now = now();
  std::int64_t skipped = 0;
  if (awake_clock_.load()() - expected.awake > kSkipMarginTicks) {
    skipped = clock_now - expected.clock;
  }
  const std::int64_t asleep = asleep_reading();
  const std::int64_t slept = asleep - asleep_mark_;
  asleep_mark_ = asleep;
  if (slept > kSkipMarginTicks) skipped = std::max(skipped, slept);
  if (skipped <= 0) return;
  skipped_.ticks += skipped;
  skipped_.until = clock_now;
}

void WatchdogAlarm::pass_completed() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    served_ = taken_;
  }
  passes_.fetch_add(1);
  pass_done_.notify_all();
}

void WatchdogAlarm::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  wake_.notify_all();
  pass_done_.notify_all();
}

std::uint64_t WatchdogAlarm::request_pass() {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_.notify_one();
  return ++requested_;
}

bool WatchdogAlarm::wait_until_served(std::uint64_t ticket, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return pass_done_.wait_for(lock, timeout, [&] { return stopped_ || served_ >= ticket; }) &&
         served_ >= ticket;
}

void WatchdogAlarm::forget_waiters_after_fork() {
  new (&wake_) std::condition_variable();
  new (&pass_done_) std::condition_variable();
}

}  // namespace freezemonitor
