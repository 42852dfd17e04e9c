// The counter-read real-time clock: exact against a scripted clock and counter, and within a
// millisecond of the system clock for real.
#include <gtest/gtest.h>

#include <time.h>

#include <cstdint>
#include <cstdlib>

#include "platform/posix/tsc_clock.h"

namespace quillmark::platform::posix {
namespace {

// A counter at 2 counts per nanosecond, and a system clock that reads `g_ns`.
std::int64_t g_ns = 0;
std::uint64_t g_count = 0;
int g_system_reads = 0;
std::int64_t scripted_realtime() {
  ++g_system_reads;
  return g_ns;
}
std::uint64_t scripted_counter() { return g_count; }
bool eligible() { return true; }
bool not_eligible() { return false; }

void advance(std::int64_t ns) {
  g_ns += ns;
  g_count += static_cast<std::uint64_t>(2 * ns);
}

TEST(TscClock, ExtrapolatesBetweenAnchorsAndAnchorsAgainWhenOld) {
  g_ns = 1'700'000'000'000'000'000;
  g_count = 1000;
  TscClock clock(&scripted_realtime, &scripted_counter, &eligible);
  EXPECT_EQ(clock.now_ns(), g_ns);  // first anchor
  advance(TscClock::kCalibrationSpanNs);
  EXPECT_EQ(clock.now_ns(), g_ns);  // rate measured, anchored again

  g_system_reads = 0;
  advance(1234567);
  EXPECT_EQ(clock.now_ns(), g_ns);
  advance(TscClock::kAnchorLifeNs - 1234567 - 1);
  EXPECT_EQ(clock.now_ns(), g_ns);
  EXPECT_EQ(g_system_reads, 0);  // all from the counter

  g_ns += 5'000'000;  // the system clock is set 5 ms forward: seen at the next anchor
  advance(2);
  EXPECT_EQ(clock.now_ns(), g_ns);
  EXPECT_EQ(g_system_reads, 1);
  advance(100);
  EXPECT_EQ(clock.now_ns(), g_ns);
}

TEST(TscClock, CounterGoingBackReadsTheSystemClock) {
  g_ns = 1'000'000'000;
  g_count = 1'000'000;
  TscClock clock(&scripted_realtime, &scripted_counter, &eligible);
  clock.now_ns();
  advance(TscClock::kCalibrationSpanNs);
  clock.now_ns();
  g_count = 5;  // reset, as after a machine's sleep on some hardware
  g_ns += 777;
  EXPECT_EQ(clock.now_ns(), g_ns);
}

TEST(TscClock, WithoutAStableCounterEveryReadingIsTheSystems) {
  g_ns = 42;
  TscClock clock(&scripted_realtime, &scripted_counter, &not_eligible);
  g_system_reads = 0;
  for (int i = 0; i < 3; ++i) {
    advance(TscClock::kCalibrationSpanNs);
    EXPECT_EQ(clock.now_ns(), g_ns);
  }
  EXPECT_EQ(g_system_reads, 3);
}

TEST(TscClock, ProcessClockStaysWithinAMillisecondOfTheSystemClock) {
  for (int i = 0; i < 200000; ++i) {
    timespec before{};
    clock_gettime(CLOCK_REALTIME, &before);
    const std::int64_t ours = realtime_ns();
    timespec after{};
    clock_gettime(CLOCK_REALTIME, &after);
    const std::int64_t low = before.tv_sec * 1000000000LL + before.tv_nsec;
    const std::int64_t high = after.tv_sec * 1000000000LL + after.tv_nsec;
    ASSERT_GE(ours, low - 1000000) << i;
    ASSERT_LE(ours, high + 1000000) << i;
  }
}

}  // namespace
}  // namespace quillmark::platform::posix
