// A check-loop timing that tests drive by hand: the clock reads what the test set, and every
// pause of the loop lasts until the test grants the next pass (or the loop is being stopped).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "resmonitor/check_timing.h"
#include "resmonitor/registry.h"
#include "support/log_capture.h"

namespace resmonitor::testing {

class ManualTiming final : public CheckTiming {
 public:
  explicit ManualTiming(std::int64_t start_us) : now_(start_us) {}

  std::int64_t now_us() override { return now_.load(); }

  void wait_between_passes(std::condition_variable&,
                           const std::atomic<bool>& stop_requested) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++pauses_entered_;
    changed_.notify_all();
    // The loop's stop notification is not ours to hear, so the stop flag is polled.
    while (granted_ == 0 && !stop_requested.load()) {
      changed_.wait_for(lock, std::chrono::milliseconds(2));
    }
    if (granted_ > 0) --granted_;
  }

  void set_now(std::int64_t us) { now_.store(us); }
  std::int64_t now() const { return now_.load(); }

  // Waits until the loop has finished its first pass and is pausing.
  bool wait_for_first_pause() { return wait_for_pauses(1); }

  // Pauses entered so far, by every loop that used this timing.
  int pauses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pauses_entered_;
  }
  bool wait_for_pauses(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kTimeout, [&] { return pauses_entered_ >= count; });
  }

  // Lets the loop run exactly one more pass and waits until it pauses again, so whatever that
  // pass logged has been logged when this returns.
  bool run_pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    const int target = pauses_entered_ + 1;
    ++granted_;
    changed_.notify_all();
    return changed_.wait_for(lock, kTimeout, [&] { return pauses_entered_ >= target; });
  }

 private:
  static constexpr std::chrono::seconds kTimeout{20};

  std::atomic<std::int64_t> now_;
  std::mutex mutex_;  // guards pauses_entered_ and granted_
  std::condition_variable changed_;
  int pauses_entered_ = 0;
  int granted_ = 0;
};

// A monitor of the test's own on the manual timing.
class ManualMonitorTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kStart = 1'700'000'000'000'000;  // some time in 2023, in µs
  static void* pointer(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

  // Starts the check thread at `bits` and returns once its first pass is done.
  void start(unsigned bits) {
    monitor->start_check(static_cast<MonitorInfoLevel>(bits));
    ASSERT_TRUE(timing->wait_for_first_pause());
  }

  quillmark::testing::LogCapture capture;  // outlives the monitor and its thread
  std::shared_ptr<ManualTiming> timing = std::make_shared<ManualTiming>(kStart);
  std::unique_ptr<ResourceMonitor> monitor = std::make_unique<ResourceMonitor>(timing);
};

}  // namespace resmonitor::testing
