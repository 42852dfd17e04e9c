// Process exit from inside the library's own work, each case in a helper process whose alarm
// turns a hang into a failure: the exit handlers must end the process with the code it exited
// with, neither waiting for the exiting thread nor aborting.
#include <gtest/gtest.h>

#include <string>

#include "freezemonitor/child_process.h"

namespace {

using quillmark::testing::run_child;

constexpr int kSignalExitBase = 128;  // run_child reports a signal as 128 + its number

TEST(ExitFromInside, ALogSinkOnTheCheckThread) {
  const auto result = run_child("resmonitor_exit_child", "check-thread-sink");
  EXPECT_EQ(result.exit_code, 21) << result.output;
}

TEST(ExitFromInside, ALogSinkOfTheWatchdogHoldingItsRegistry) {
  const auto result = run_child("resmonitor_exit_child", "watchdog-sink");
  EXPECT_EQ(result.exit_code, 22) << result.output;
}

TEST(ExitFromInside, AResolutionHoldingTheRegistryLock) {
  const auto result = run_child("resmonitor_exit_child", "resolution");
  EXPECT_EQ(result.exit_code, 23) << result.output;
  EXPECT_LT(result.exit_code, kSignalExitBase) << "hung or crashed: " << result.output;
}

// The host's sink keeps its lock through the exit handlers; the thread of ours that waits for
// it is left to the process's end after a short grace period.
TEST(ExitFromHostSink, WhileTheCheckThreadWaitsForTheSink) {
  const auto result = run_child("resmonitor_exit_child", "host-sink-check-thread");
  EXPECT_EQ(result.exit_code, 24) << result.output;
}

TEST(ExitFromHostSink, WhileTheWatchdogWaitsForTheSink) {
  const auto result = run_child("resmonitor_exit_child", "host-sink-watchdog");
  EXPECT_EQ(result.exit_code, 25) << result.output;
}

}  // namespace
