// fork() from inside a log sink, each case in a helper process whose alarm turns a hang into a
// failure: the fork must return in the parent and the child must exit with its own code.
#include <gtest/gtest.h>

#include "freezemonitor/child_process.h"

namespace {

using quillmark::testing::run_child;

TEST(ForkInsideSink, OnAHostThreadWhileBothMonitorsRun) {
  const auto result = run_child("resmonitor_fork_sink_child", "host-sink");
  EXPECT_EQ(result.exit_code, 31) << result.output;
}

TEST(ForkInsideSink, OnTheWatchdogDuringAPass) {
  const auto result = run_child("resmonitor_fork_sink_child", "watchdog-sink");
  EXPECT_EQ(result.exit_code, 32) << result.output;
}

TEST(ForkInsideSink, OnTheCheckThreadWhileItIsStopped) {
  const auto result = run_child("resmonitor_fork_sink_child", "check-thread-sink");
  EXPECT_EQ(result.exit_code, 33) << result.output;
}

}  // namespace
