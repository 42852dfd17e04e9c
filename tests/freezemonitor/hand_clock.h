// A fixture for white-box tests of the process's freeze watchdog. The watchdog keeps running; the
// fixture swaps in a clock the test moves by hand, so every report is due exactly when the test
// says, and tests ask for passes and wait for them instead of sleeping. Whatever a test changed
// of the process-wide settings is put back afterwards, with the real clocks.
#pragma once

#include <quillmark/freeze_monitor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "freezemonitor/freeze_monitor_impl.h"
#include "platform/platform.h"
#include "support/log_capture.h"

namespace freezemonitor::testing {

// A recent freeze with copies of its texts, which are valid only during the visit.
struct FreezeCopy {
  QuillmarkRecentFreeze freeze;
  std::string url;
  std::string stack;
  std::string samples;
};

// The recent freezes, newest first.
inline std::vector<FreezeCopy> recent_freezes() {
  std::vector<FreezeCopy> recent;
  const std::size_t count = VisitRecentFreezes(
      [](const QuillmarkRecentFreeze* freeze, void* context) {
        static_cast<std::vector<FreezeCopy>*>(context)->push_back(
            {*freeze, freeze->url, freeze->stack, freeze->samples});
      },
      &recent);
  EXPECT_EQ(count, recent.size());
  return recent;
}

class HandClockTest : public ::testing::Test {
 protected:
  // Time the process was stopped and time the system slept both pass on the hand clock too; the
  // first moves the awake clock (which otherwise stands still), the second the sleep reading.
  // Left alone, the watchdog is never late and the system never sleeps: durations are exact.
  static inline std::atomic<std::int64_t> ticks{1000LL * 10000000};
  static inline std::atomic<std::int64_t> stopped_ticks{0};
  static inline std::atomic<std::int64_t> slept_ticks{0};
  static std::int64_t hand_clock() { return ticks.load() + stopped_ticks + slept_ticks; }
  static std::int64_t awake_clock() { return stopped_ticks.load(); }
  static std::int64_t asleep_clock() { return slept_ticks.load(); }
  static constexpr std::int64_t ticks_of_ms(std::int64_t ms) { return ms * 10000; }

  void SetUp() override {
    monitor_.set_clock(&hand_clock);
    monitor_.set_suspension_clocks(&awake_clock, &asleep_clock);
  }

  // Every tracer of a test is gone by now; a pass drops their records before the real clock
  // comes back.
  void TearDown() override {
    settle();
    monitor_.SetThresholds(5000, 3000);
    monitor_.SetTimeoutEventEnabled(false);
    SetFreezeSuspensionSkipEnabled(true);
    SetFreezeReportExtras(0);
    monitor_.set_clock(&quillmark::platform::system_time_100ns);
    monitor_.set_suspension_clocks(&quillmark::platform::awake_time_100ns,
                                   &quillmark::platform::asleep_time_100ns);
  }

  // Moves the hand clock; the watchdog wakes by itself if a report falls due, as it would when
  // real time passes.
  void advance_ms(std::int64_t ms) {
    ticks += ticks_of_ms(ms);
    monitor_.clock_moved();
  }

  // Returns once a whole pass saw the current clock and registry.
  void settle() { ASSERT_TRUE(monitor_.run_pass()) << "watchdog stopped passing"; }

  // A url of the running test's own, so that lines of other tests never match.
  static std::string url(const char* suffix) {
    return std::string("media/") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
           "/" + suffix;
  }

  static std::string timed_out_line(const char* type, const std::string& url, int use_gpu) {
    return "task has timed out. event type is " + std::string(type) + ". url: " + url +
           ". use_gpu: " + std::to_string(use_gpu) + ".";
  }
  static std::string freezed_line(const char* type, const std::string& url, int use_gpu) {
    return "task has freezed. event type is " + std::string(type) + ", url: " + url +
           ", use_gpu: " + std::to_string(use_gpu) + ".";
  }

  FreezeMonitorImpl& monitor_ = freeze_monitor();
  quillmark::testing::LogCapture log_;
};

}  // namespace freezemonitor::testing
