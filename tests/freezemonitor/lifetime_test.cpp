// Process exit and unloading, each in a fresh helper process: a hang fails the suite by its
// time limit, a crash by the exit code.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "freezemonitor/child_process.h"

namespace {

using quillmark::testing::run_child;

#if defined(_WIN32)
// An unload cannot join the watchdog on Windows, so the library stays once the monitor started.
constexpr const char* kAfterUnload = "resident";
#else
constexpr const char* kAfterUnload = "gone";
#endif

int occurrences(const std::string& text, const std::string& fragment) {
  int count = 0;
  for (auto at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) {
    ++count;
  }
  return count;
}

TEST(FreezeMonitorLifetime, UnloadWhileWatchdogRunsReturnsPromptly) {
  const auto result = run_child("freezemonitor_unload_child", "unload");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_NE(result.output.find("unloaded"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find(kAfterUnload), std::string::npos) << result.output;
}

TEST(FreezeMonitorLifetime, ExitWhileWatchdogRunsAndATaskIsTraced) {
  const auto result = run_child("freezemonitor_unload_child", "running");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_NE(result.output.find("exiting"), std::string::npos) << result.output;
  EXPECT_EQ(occurrences(result.output, "freezemonitor already destory."), 0) << result.output;
#if defined(_WIN32)
  // Other threads are gone at a Windows process exit, maybe holding the log's lock.
  EXPECT_EQ(occurrences(result.output, "freeze statistics of"), 0) << result.output;
#else
  // The task that froze and ended is counted; the one still running is not.
  EXPECT_EQ(occurrences(result.output, "[5] ZOR/FreezeMonitor: task has recovered after "), 1)
      << result.output;
  EXPECT_EQ(occurrences(result.output, "freeze statistics of"), 1) << result.output;
  EXPECT_EQ(occurrences(result.output,
                        "[5] ZOR/FreezeMonitor: freeze statistics of D3DRender: 1 "
                        "tasks, 0 timed out, 1 freezed; durations p50 "),
            1)
      << result.output;
#endif
}

// A tracer released at exit after the monitor logs once; also when the host's sink ends the
// process and the tracer is released on the exiting thread, which holds the sink's lock (the line
// goes to stderr then).
TEST(FreezeMonitorLifetime, TracerReleasedAfterTheMonitorLogsOnce) {
  for (const auto& [mode, code] :
       {std::pair<const char*, int>{"held-by-static", 0}, {"exit-in-sink", 27}}) {
    const auto result = run_child("freezemonitor_unload_child", mode);
    EXPECT_EQ(result.exit_code, code) << result.output;
    EXPECT_EQ(occurrences(result.output, "freezemonitor already destory."), 1) << result.output;
    EXPECT_EQ(occurrences(result.output, "[5] ZOR/FreezeMonitor: freezemonitor already destory."),
              1)
        << result.output;
  }
}

#if !defined(_WIN32)
// The process is stopped for 3 s while a task is 0.2 s old (thresholds 1 s and 2 s): no report,
// one line for the gap; switched off, the stop counts as the task's time, as it always did.
TEST(FreezeMonitorLifetime, StoppedProcessDoesNotMakeTasksTimeOut) {
  const auto skipped = run_child("freezemonitor_unload_child", "stopped");
  EXPECT_EQ(skipped.exit_code, 0) << skipped.output;
  EXPECT_EQ(occurrences(skipped.output, "[5] watchdog could not run for "), 1) << skipped.output;
  EXPECT_EQ(occurrences(skipped.output, "task has"), 0) << skipped.output;
  EXPECT_NE(skipped.output.find("released"), std::string::npos) << skipped.output;

  const auto counted = run_child("freezemonitor_unload_child", "stopped-counted");
  EXPECT_EQ(counted.exit_code, 0) << counted.output;
  EXPECT_EQ(occurrences(counted.output, "watchdog could not run"), 0) << counted.output;
  EXPECT_EQ(occurrences(counted.output, "[5] task has timed out."), 1) << counted.output;
  EXPECT_EQ(occurrences(counted.output, "[6] task has freezed."), 1) << counted.output;
}
#endif

}  // namespace
