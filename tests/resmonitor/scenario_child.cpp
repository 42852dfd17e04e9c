// What hosts do inside their log sinks, against the shipped library, one mode per run.
// Exit from inside the library's own work, where its teardown must not wait for the exiting
// thread: a log sink called on the check thread, a log sink called by the freeze watchdog, and a
// symbol look-up that exits in the middle of a resolution (as libdw does when an allocation
// fails) while the registry's lock is held (that mode needs the white-box seam, so it is built
// into a second program). Exit from a host thread's log sink while the check thread or the
// watchdog waits for the sink's lock, which the exiting thread keeps: the teardown cannot wait
// for those threads either, and a tracer released during that exit logs on the exiting thread.
// fork() from inside a log sink, as a host starting a crash reporter from its sink does: the
// forking thread holds the sink's lock, so the steps around the fork must not wait for it again;
// the child exits at once with the mode's code and this process ends with the child's.
// A sink that traces its own writes, creating a tracer while the watchdog logs.
// The expected exit code is the mode's; an alarm ends a hang.
#include <core/log.h>
#include <quillmark/freeze_monitor.h>
#include <quillmark/resource_monitor.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "host/core/log_testing.h"
#if defined(QUILLMARK_TEST_SEAMS)
#include "tests/callstack/fake_debug_help.h"
#endif

namespace {

constexpr unsigned kAlarmSeconds = 20;

struct SinkExit {
  const char* fragment;
  int code;
  // Exits only once the child's own set-up is complete (its statics registered for exit).
  std::atomic<bool> ready{true};
};

void exit_on_fragment(const core::LogRecord& record, void* context) {
  auto* rule = static_cast<SinkExit*>(context);
  if (std::strstr(record.text, rule->fragment) == nullptr) return;
  while (!rule->ready.load()) std::this_thread::yield();
  std::exit(rule->code);
}

[[noreturn]] void wait_for_the_end() {
  for (;;) pause();
}

[[noreturn]] void exit_from_check_thread_sink() {
  static SinkExit rule{"start check dbg", 21};
  core::SetLogSink(&exit_on_fragment, &rule);
  static int object = 0;
  resmonitor::CreateResMonitor(resmonitor::MonitorInfoStack | resmonitor::MonitorInfoCheck);
  resmonitor::AddResource("ExitChild", &object);
  wait_for_the_end();
}

[[noreturn]] void exit_from_watchdog_sink() {
  static SinkExit rule{"task has freezed", 22};
  rule.ready.store(false);
  core::SetLogSink(&exit_on_fragment, &rule);
  freezemonitor::FreezeMonitor* monitor = GetFreezeMonitor();
  monitor->SetThresholds(0, 0);
  // The watchdog may report the task before this static is in place; the exit waits for it, so
  // that the exit handlers release the tracer on the watchdog while the monitor still exists.
  static auto tracer = monitor->CreateGPUInitTracer();
  rule.ready.store(true);
  wait_for_the_end();
}

#if defined(QUILLMARK_TEST_SEAMS)
[[noreturn]] void exit_inside_resolution() {
  static quillmark::testing::ScopedFakeDebugHelp help;
  help->back_trace = {0x1000, 0x2000, 0x3000, 0x4000};
  help->on_symbol_lookup = [] {
    std::fputs("exiting inside a resolution\n", stderr);
    std::exit(23);
  };
  static int object = 0;
  resmonitor::CreateResMonitor(resmonitor::MonitorInfoStack);
  resmonitor::AddResource("ExitChild", &object);
  resmonitor::ResMonitorInfo info;
  resmonitor::GetObjResource("ExitChild", &object, info);
  std::fputs("the resolution returned\n", stderr);
  std::exit(3);
}
#endif

// A host thread that exits inside its own sink once one of our threads has a record containing
// `fragment` ready and is about to wait for the sink's lock. It never gets the lock: the
// exiting thread keeps it through the exit handlers.
struct HostSinkExit {
  const char* fragment;
  int code;
  std::atomic<bool> host_in_sink{false};
  std::atomic<bool> ours_waiting{false};
};

HostSinkExit* g_host_sink_exit = nullptr;

void note_our_waiting_record(const core::LogRecord& record) {
  HostSinkExit& rule = *g_host_sink_exit;
  if (rule.host_in_sink.load() && std::strstr(record.text, rule.fragment) != nullptr) {
    rule.ours_waiting.store(true);
  }
}

constexpr const char* kHostTag = "host";

void exit_once_ours_waits(const core::LogRecord& record, void* context) {
  auto* rule = static_cast<HostSinkExit*>(context);
  if (std::strcmp(record.module, kHostTag) != 0) return;
  rule->host_in_sink.store(true);
  while (!rule->ours_waiting.load()) std::this_thread::yield();
  std::exit(rule->code);
}

// Logs from this thread into the exiting sink, after `start_ours` runs on another thread.
[[noreturn]] void exit_in_host_sink(HostSinkExit& rule, void (*start_ours)()) {
  g_host_sink_exit = &rule;
  core::detail::set_record_observer(&note_our_waiting_record);
  core::SetLogSink(&exit_once_ours_waits, &rule);
  std::thread([start_ours] {
    while (!g_host_sink_exit->host_in_sink.load()) std::this_thread::yield();
    start_ours();
  }).detach();
  CoreLogPrint(kHostTag, 4, "the host ends the process from its sink");
  std::fputs("the host's sink returned\n", stderr);
  std::exit(3);
}

[[noreturn]] void exit_in_host_sink_while_check_thread_waits() {
  static HostSinkExit rule{"start check dbg", 24};
  exit_in_host_sink(rule, [] {
    static int object = 0;
    resmonitor::CreateResMonitor(resmonitor::MonitorInfoStack | resmonitor::MonitorInfoCheck);
    resmonitor::AddResource("ExitChild", &object);
  });
}

[[noreturn]] void exit_in_host_sink_while_watchdog_waits() {
  static HostSinkExit rule{"task has freezed", 25};
  GetFreezeMonitor();
  exit_in_host_sink(rule, [] {
    freezemonitor::FreezeMonitor* monitor = GetFreezeMonitor();
    monitor->SetThresholds(0, 0);
    // Held past the exit, as a task still running when the process ends is.
    static auto* running =
        new std::shared_ptr<freezemonitor::GPUInitTracer>(monitor->CreateGPUInitTracer());
    static_cast<void>(running);
  });
}

constexpr int kChildDidNotExit = 1;

struct SinkFork {
  const char* module;    // the record's tag, or null for any
  const char* fragment;  // a text the record contains
  int child_code;
  std::atomic<int> child_result{-1};  // the child's exit code once it has been waited for
};

bool matches(const SinkFork& rule, const core::LogRecord& record) {
  if (rule.module != nullptr && std::strcmp(record.module, rule.module) != 0) return false;
  return std::strstr(record.text, rule.fragment) != nullptr;
}

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
  if (rule->child_result.load() != -1 || !matches(*rule, record)) return;
  // Hosts trace their own slow steps, from the sink too.
  const auto trace = GetFreezeMonitor()->CreateProjSaveTracer();
  const pid_t child = fork();
  if (child == 0) end_child(rule->child_code);
  int status = 0;
  const bool exited = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status);
  rule->child_result.store(exited ? WEXITSTATUS(status) : kChildDidNotExit);
}

[[noreturn]] void end_with_child_result(const SinkFork& rule) {
  while (rule.child_result.load() == -1) std::this_thread::yield();
  std::fflush(nullptr);
  std::exit(rule.child_result.load());
}

// Both monitors run, so that their own fork steps take part.
[[noreturn]] void fork_in_host_sink() {
  static SinkFork rule{"host", "start the crash reporter", 31};
  core::SetLogSink(&fork_on_record, &rule);
  static int object = 0;
  resmonitor::CreateResMonitor(resmonitor::MonitorInfoStack | resmonitor::MonitorInfoCheck);
  resmonitor::AddResource("ForkChild", &object);
  GetFreezeMonitor();
  CoreLogPrint("host", 4, "start the crash reporter");
  end_with_child_result(rule);
}

// The check thread's last record comes while DestroyResMonitor, on this thread, waits for it to
// end, holding the lock that serialises starting and stopping the check thread.
[[noreturn]] void fork_in_check_thread_sink_during_stop() {
  static SinkFork rule{nullptr, "end check dbg", 33};
  core::SetLogSink(&fork_on_record, &rule);
  static int object = 0;
  resmonitor::CreateResMonitor(resmonitor::MonitorInfoStack | resmonitor::MonitorInfoCheck);
  resmonitor::AddResource("ForkChild", &object);
  resmonitor::DestroyResMonitor();
  end_with_child_result(rule);
}

[[noreturn]] void fork_in_watchdog_sink() {
  static SinkFork rule{nullptr, "task has freezed", 32};
  core::SetLogSink(&fork_on_record, &rule);
  freezemonitor::FreezeMonitor* monitor = GetFreezeMonitor();
  monitor->SetThresholds(0, 0);
  // Still running when the processes end.
  static auto* running =
      new std::shared_ptr<freezemonitor::GPUInitTracer>(monitor->CreateGPUInitTracer());
  static_cast<void>(running);
  end_with_child_result(rule);
}

}  // namespace

int main(int argc, char** argv) {
  alarm(kAlarmSeconds);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "check-thread-sink") exit_from_check_thread_sink();
  if (mode == "watchdog-sink") exit_from_watchdog_sink();
#if defined(QUILLMARK_TEST_SEAMS)
  if (mode == "resolution") exit_inside_resolution();
#endif
  if (mode == "host-sink-check-thread") exit_in_host_sink_while_check_thread_waits();
  if (mode == "host-sink-watchdog") exit_in_host_sink_while_watchdog_waits();
  if (mode == "fork-host-sink") fork_in_host_sink();
  if (mode == "fork-watchdog-sink") fork_in_watchdog_sink();
  if (mode == "fork-check-thread-sink") fork_in_check_thread_sink_during_stop();
  std::puts("unknown mode");
  return 2;
}
