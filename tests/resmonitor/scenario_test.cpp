// What hosts do inside their log sinks, against the shipped library. Each case runs in a fresh
// process whose alarm turns a hang into a failure, and must end with the code the host chose.
// Exit from inside the library's own work (a sink called on the check thread or by the freeze
// watchdog): the teardown must not wait for the exiting thread. Exit from a host thread's sink
// while the check thread or the watchdog waits for the sink's lock, which the exiting thread
// keeps: the teardown cannot wait for those threads either, and a tracer released during that
// exit logs on the exiting thread. fork() from inside a sink, as a host starting a crash reporter
// does: the forking thread holds the sink's lock, so the steps around the fork must not wait for
// it again; the child exits at once with its code and the parent ends with the child's.
#include <core/log.h>
#include <gtest/gtest.h>
#include <quillmark/freeze_monitor.h>
#include <quillmark/resource_monitor.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "host/core/log_testing.h"

namespace {

constexpr unsigned kAlarmSeconds = 20;

void expect_ends_with(void (*scenario)(), int code) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        alarm(kAlarmSeconds);
        scenario();
      },
      ::testing::ExitedWithCode(code), "");
}

[[noreturn]] void wait_for_the_end() {
  for (;;) pause();
}

void start_checking() {
  static int object = 0;
  resmonitor::CreateResMonitor(resmonitor::MonitorInfoStack | resmonitor::MonitorInfoCheck);
  resmonitor::AddResource("ScenarioObject", &object);
}

// A task still running when the process ends, with thresholds low enough for the watchdog to
// report it at once.
void start_frozen_task() {
  freezemonitor::FreezeMonitor* monitor = GetFreezeMonitor();
  monitor->SetThresholds(0, 0);
  static auto* running =
      new std::shared_ptr<freezemonitor::GPUInitTracer>(monitor->CreateGPUInitTracer());
  static_cast<void>(running);
}

struct SinkExit {
  const char* fragment;
  int code;
  // Exits only once the scenario's own set-up is complete (its statics registered for exit).
  std::atomic<bool> ready{true};
};

void exit_on_fragment(const core::LogRecord& record, void* context) {
  auto* rule = static_cast<SinkExit*>(context);
  if (std::strstr(record.text, rule->fragment) == nullptr) return;
  while (!rule->ready.load()) std::this_thread::yield();
  std::exit(rule->code);
}

TEST(HostSink, ExitOnTheCheckThread) {
  static SinkExit rule{"start check dbg", 21};
  expect_ends_with(
      [] {
        core::SetLogSink(&exit_on_fragment, &rule);
        start_checking();
        wait_for_the_end();
      },
      rule.code);
}

// The watchdog may report the task before the static that holds its tracer is in place; the exit
// waits for it, so that the exit handlers release the tracer on the watchdog while the monitor
// still exists.
TEST(HostSink, ExitInTheWatchdogsReport) {
  static SinkExit rule{"task has freezed", 22};
  expect_ends_with(
      [] {
        rule.ready.store(false);
        core::SetLogSink(&exit_on_fragment, &rule);
        freezemonitor::FreezeMonitor* monitor = GetFreezeMonitor();
        monitor->SetThresholds(0, 0);
        static auto tracer = monitor->CreateGPUInitTracer();
        rule.ready.store(true);
        wait_for_the_end();
      },
      rule.code);
}

// A host thread exits inside its own sink once one of our threads has a record containing
// `fragment` ready and is about to wait for the sink's lock. It never gets the lock: the exiting
// thread keeps it through the exit handlers.
struct HostSinkExit {
  const char* fragment;
  int code;
  std::atomic<bool> host_in_sink{false};
  std::atomic<bool> ours_waiting{false};
};

HostSinkExit* g_host_sink_exit = nullptr;
constexpr const char* kHostTag = "host";

void note_our_waiting_record(const core::LogRecord& record) {
  HostSinkExit& rule = *g_host_sink_exit;
  if (rule.host_in_sink.load() && std::strstr(record.text, rule.fragment) != nullptr) {
    rule.ours_waiting.store(true);
  }
}

void exit_once_ours_waits(const core::LogRecord& record, void* context) {
  auto* rule = static_cast<HostSinkExit*>(context);
  if (std::strcmp(record.module, kHostTag) != 0) return;
  rule->host_in_sink.store(true);
  while (!rule->ours_waiting.load()) std::this_thread::yield();
  std::exit(rule->code);
}

// Logs from this thread into the exiting sink after `start_ours` runs on another thread.
void exit_in_host_sink(HostSinkExit& rule, void (*start_ours)()) {
  g_host_sink_exit = &rule;
  core::detail::set_record_observer(&note_our_waiting_record);
  core::SetLogSink(&exit_once_ours_waits, &rule);
  std::thread([start_ours] {
    while (!g_host_sink_exit->host_in_sink.load()) std::this_thread::yield();
    start_ours();
  }).detach();
  CoreLogPrint(kHostTag, 4, "the host ends the process from its sink");
  std::fputs("the host's sink returned\n", stderr);
}

TEST(HostSink, ExitWhileTheCheckThreadWaitsForIt) {
  static HostSinkExit rule{"start check dbg", 24};
  expect_ends_with([] { exit_in_host_sink(rule, &start_checking); }, rule.code);
}

TEST(HostSink, ExitWhileTheWatchdogWaitsForIt) {
  static HostSinkExit rule{"task has freezed", 25};
  expect_ends_with(
      [] {
        GetFreezeMonitor();
        exit_in_host_sink(rule, &start_frozen_task);
      },
      rule.code);
}

struct SinkFork {
  const char* module;    // the record's tag, or null for any
  const char* fragment;  // a text the record contains
  int child_code;
  std::atomic<int> child_result{-1};  // the child's exit code once it has been waited for
};

// Through the child's exit handlers, which tear both monitors down. Not under the address
// sanitizer: its leak check at exit locks the sanitizer's allocator, which a thread of the parent
// may have held at the fork, and it counts the copies of what the parent's other threads
// allocated as leaks.
[[noreturn]] void end_child(int code) {
#if defined(__SANITIZE_ADDRESS__)
  _exit(code);
#else
  std::exit(code);
#endif
}

void fork_on_record(const core::LogRecord& record, void* context) {
  auto* rule = static_cast<SinkFork*>(context);
  if (rule->child_result.load() != -1) return;
  if (rule->module != nullptr && std::strcmp(record.module, rule->module) != 0) return;
  if (std::strstr(record.text, rule->fragment) == nullptr) return;
  // Hosts trace their own slow steps, from the sink too.
  const auto trace = GetFreezeMonitor()->CreateProjSaveTracer();
  const pid_t child = fork();
  if (child == 0) end_child(rule->child_code);
  int status = 0;
  const bool exited = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status);
  rule->child_result.store(exited ? WEXITSTATUS(status) : 1);
}

[[noreturn]] void fork_in_sink(SinkFork& rule, void (*start)()) {
  core::SetLogSink(&fork_on_record, &rule);
  start();
  while (rule.child_result.load() == -1) std::this_thread::yield();
  std::fflush(nullptr);
  std::exit(rule.child_result.load());
}

// Both monitors run, so that their own fork steps take part.
TEST(HostSink, ForkInTheHostsSinkWhileBothMonitorsRun) {
  static SinkFork rule{kHostTag, "start the crash reporter", 31};
  expect_ends_with(
      [] {
        fork_in_sink(rule, [] {
          start_checking();
          GetFreezeMonitor();
          CoreLogPrint(kHostTag, 4, "start the crash reporter");
        });
      },
      rule.child_code);
}

TEST(HostSink, ForkInTheWatchdogsReport) {
  static SinkFork rule{nullptr, "task has freezed", 32};
  expect_ends_with([] { fork_in_sink(rule, &start_frozen_task); }, rule.child_code);
}

// The check thread's last record comes while DestroyResMonitor, on this thread, waits for it to
// end, holding the lock that serialises starting and stopping the check thread.
TEST(HostSink, ForkOnTheCheckThreadWhileItIsStopped) {
  static SinkFork rule{nullptr, "end check dbg", 33};
  expect_ends_with(
      [] {
        fork_in_sink(rule, [] {
          start_checking();
          resmonitor::DestroyResMonitor();
        });
      },
      rule.child_code);
}

}  // namespace
