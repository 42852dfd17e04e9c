// What hosts do inside their log sinks, each case in a helper process that uses the shipped
// library and whose alarm turns a hang into a failure. Exit: the exit handlers must end the
// process with the code it exited with, neither waiting for the exiting thread nor aborting.
// fork(): the fork must return in the parent and the child must exit with its own code.
#include <gtest/gtest.h>

#include <string>

#include "freezemonitor/child_process.h"

namespace {

using quillmark::testing::run_child;

constexpr int kSignalExitBase = 128;  // run_child reports a signal as 128 + its number

TEST(ExitFromInside, ALogSinkOnTheCheckThread) {
  const auto result = run_child("resmonitor_scenario_child", "check-thread-sink");
  EXPECT_EQ(result.exit_code, 21) << result.output;
}

TEST(ExitFromInside, ALogSinkOfTheWatchdogDuringAPass) {
  const auto result = run_child("resmonitor_scenario_child", "watchdog-sink");
  EXPECT_EQ(result.exit_code, 22) << result.output;
}

TEST(ExitFromInside, AResolutionHoldingTheRegistryLock) {
  const auto result = run_child("resmonitor_scenario_child_seams", "resolution");
  EXPECT_EQ(result.exit_code, 23) << result.output;
  EXPECT_LT(result.exit_code, kSignalExitBase) << "hung or crashed: " << result.output;
}

// The host's sink keeps its lock through the exit handlers; the thread of ours that waits for
// it is left to the process's end after a short grace period (a process exit, though the
// shipped library's statics are torn down along with those of the program).
TEST(ExitFromHostSink, WhileTheCheckThreadWaitsForTheSink) {
  const auto result = run_child("resmonitor_scenario_child", "host-sink-check-thread");
  EXPECT_EQ(result.exit_code, 24) << result.output;
}

TEST(ExitFromHostSink, WhileTheWatchdogWaitsForTheSink) {
  const auto result = run_child("resmonitor_scenario_child", "host-sink-watchdog");
  EXPECT_EQ(result.exit_code, 25) << result.output;
}

// The sink traces the fork it makes, creating a tracer on the watchdog during its report.
TEST(ForkInsideSink, OnAHostThreadWhileBothMonitorsRun) {
  const auto result = run_child("resmonitor_scenario_child", "fork-host-sink");
  EXPECT_EQ(result.exit_code, 31) << result.output;
}

TEST(ForkInsideSink, OnTheWatchdogDuringAPass) {
  const auto result = run_child("resmonitor_scenario_child", "fork-watchdog-sink");
  EXPECT_EQ(result.exit_code, 32) << result.output;
}

TEST(ForkInsideSink, OnTheCheckThreadWhileItIsStopped) {
  const auto result = run_child("resmonitor_scenario_child", "fork-check-thread-sink");
  EXPECT_EQ(result.exit_code, 33) << result.output;
}

}  // namespace
