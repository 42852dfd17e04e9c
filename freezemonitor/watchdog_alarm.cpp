#include "freezemonitor/watchdog_alarm.h"

#include <new>

namespace freezemonitor {

namespace {

constexpr std::int64_t kNanosecondsPerTick = 100;

}  // namespace

void WatchdogAlarm::set_clock(Clock clock) {
  clock_.store(clock);
  nudge();
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

bool WatchdogAlarm::pass_is_due() const { return requested_ != taken_ || now() >= due_.load(); }

bool WatchdogAlarm::wait_for_pass() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopped_ && !pass_is_due()) sleep_until_due(lock);
  if (stopped_) return false;
  // The pass starts after every request made so far, so it serves them all.
  taken_ = requested_;
  return true;
}

// The sleep is measured on the steady clock, the due time on the system clock: converting the
// remaining time once per sleep is enough, as the caller reads the system clock again on waking.
void WatchdogAlarm::sleep_until_due(std::unique_lock<std::mutex>& lock) {
  const std::int64_t due = due_.load();
  if (due == kNever) {
    wake_.wait(lock);
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
    wake_.wait_until(lock, std::chrono::steady_clock::now() + remaining);
  }
  wakeups_.fetch_add(1);
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
