// What hosts do inside their log sinks, each case in a helper process that uses the shipped
// library and whose alarm turns a hang into a failure. Exit: the exit handlers must end the
// process with the code it exited with, neither waiting for the exiting thread nor aborting.
// fork(): the fork must return in the parent and the child must exit with its own code.
#include <gtest/gtest.h>

#include <string>

#include "freezemonitor/child_process.h"

namespace {

using quillmark::testing::run_child;

struct Scenario {
  const char* name;
  const char* mode;  // of the helper program
  int exit_code;
};

class HostScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(HostScenario, EndsWithItsOwnExitCode) {
  // The resolution mode needs the debug-help seam, which only the white-box build has.
  const bool seams = std::string(GetParam().mode) == "resolution";
  const auto result = run_child(
      seams ? "resmonitor_scenario_child_seams" : "resmonitor_scenario_child", GetParam().mode);
  EXPECT_EQ(result.exit_code, GetParam().exit_code) << result.output;
}

// Exit from inside the library's own work. Exit from the host's sink, which keeps its lock
// through the exit handlers: the thread of ours that waits for it is left to the process's end
// after a short grace period. fork() from a sink that traces the fork it makes, creating a tracer
// on the watchdog during its report.
const Scenario kScenarios[] = {
    {"ExitFromALogSinkOnTheCheckThread", "check-thread-sink", 21},
    {"ExitFromALogSinkOfTheWatchdogDuringAPass", "watchdog-sink", 22},
    {"ExitFromAResolutionHoldingTheRegistryLock", "resolution", 23},
    {"ExitFromTheHostSinkWhileTheCheckThreadWaitsForIt", "host-sink-check-thread", 24},
    {"ExitFromTheHostSinkWhileTheWatchdogWaitsForIt", "host-sink-watchdog", 25},
    {"ForkInTheHostSinkWhileBothMonitorsRun", "fork-host-sink", 31},
    {"ForkInTheWatchdogSinkDuringAPass", "fork-watchdog-sink", 32},
    {"ForkInTheCheckThreadSinkWhileItIsStopped", "fork-check-thread-sink", 33},
};

INSTANTIATE_TEST_SUITE_P(Modes, HostScenario, ::testing::ValuesIn(kScenarios),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
