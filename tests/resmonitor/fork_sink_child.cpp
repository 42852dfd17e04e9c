// Forks from inside a log sink, as a host starting a crash reporter from its sink does: on a host
// thread, on the freeze watchdog during a pass, and on the check thread while it is being
// stopped. The forking thread holds the sink's lock (and
// the watchdog its registry's), so the steps around the fork must not wait for those again. The
// child exits at once with the mode's code and this process ends with the child's; an alarm ends
// a hang.
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

namespace {

constexpr unsigned kAlarmSeconds = 20;
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
  if (mode == "host-sink") fork_in_host_sink();
  if (mode == "watchdog-sink") fork_in_watchdog_sink();
  if (mode == "check-thread-sink") fork_in_check_thread_sink_during_stop();
  std::puts("unknown mode");
  return 2;
}
