// Ends the process from inside the library's own work, where its teardown must not wait for the
// exiting thread: a log sink called on the check thread, a log sink called by the freeze
// watchdog while it holds its registry, and a symbol look-up that exits in the middle of a
// resolution (as libdw does when an allocation fails) while the registry's lock is held.
// And from a host thread's log sink while the check thread or the watchdog waits for the sink's
// lock, which the exiting thread keeps: the teardown cannot wait for those threads either.
// The expected exit code is the mode's; an alarm ends a hang.
#include <core/log.h>
#include <quillmark/freeze_monitor.h>
#include <quillmark/resource_monitor.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "host/core/log_testing.h"
#include "platform/debug_help.h"

namespace {

using namespace quillmark::platform;

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

// The system's debug help, except that a symbol look-up ends the process.
class ExitingDebugHelp final : public DebugHelp {
 public:
  explicit ExitingDebugHelp(DebugHelp& system) : system_(system) {}

  std::uint16_t capture_back_trace(std::uint32_t skip, std::uint32_t count, std::uint64_t* out,
                                   std::uint32_t* hash) override {
    return system_.capture_back_trace(skip, count, out, hash);
  }
  ProcessHandle current_process() override { return system_.current_process(); }
  ModuleHandle executable_module() override { return system_.executable_module(); }
  std::uint32_t module_file_name(ModuleHandle module, wchar_t* buffer,
                                 std::uint32_t capacity) override {
    return system_.module_file_name(module, buffer, capacity);
  }
  ModuleHandle allocation_base(std::uint64_t address) override {
    return system_.allocation_base(address);
  }
  std::uint32_t environment_variable(const wchar_t* name, wchar_t* buffer,
                                     std::uint32_t size) override {
    return system_.environment_variable(name, buffer, size);
  }
  bool read_user_registry_value(const wchar_t* key, const wchar_t* value, std::uint32_t* type,
                                void* data, std::uint32_t* size) override {
    return system_.read_user_registry_value(key, value, type, data, size);
  }
  void debug_output(const wchar_t* text) override { system_.debug_output(text); }
  std::uint32_t last_error() override { return system_.last_error(); }
  void set_symbol_options(std::uint32_t options) override { system_.set_symbol_options(options); }
  bool initialize_symbols(ProcessHandle process, const wchar_t* path, bool invade) override {
    return system_.initialize_symbols(process, path, invade);
  }
  bool enumerate_loaded_modules(ProcessHandle process, ModuleVisitor visitor,
                                void* context) override {
    return system_.enumerate_loaded_modules(process, visitor, context);
  }
  bool module_info(ProcessHandle process, std::uint64_t base, ModuleRecord& record) override {
    return system_.module_info(process, base, record);
  }
  std::uint64_t load_module(ProcessHandle process, const wchar_t* path, std::uint64_t base,
                            std::uint32_t size) override {
    return system_.load_module(process, path, base, size);
  }
  bool symbol_from_address(ProcessHandle, std::uint64_t, std::uint64_t*, SymbolRecord&) override {
    std::fputs("exiting inside a resolution\n", stderr);
    std::exit(23);
  }
  bool line_from_address(ProcessHandle process, std::uint64_t address, std::uint32_t* displacement,
                         LineRecord& line) override {
    return system_.line_from_address(process, address, displacement, line);
  }
  std::uint32_t inline_call_count(ProcessHandle process, std::uint64_t address) override {
    return system_.inline_call_count(process, address);
  }
  bool inline_symbol(ProcessHandle process, std::uint64_t address, std::uint32_t depth,
                     SymbolRecord& symbol) override {
    return system_.inline_symbol(process, address, depth, symbol);
  }
  bool inline_line(ProcessHandle process, std::uint64_t address, std::uint32_t depth,
                   std::uint32_t* displacement, LineRecord& line) override {
    return system_.inline_line(process, address, depth, displacement, line);
  }

 private:
  DebugHelp& system_;
};

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

[[noreturn]] void exit_inside_resolution() {
  static ExitingDebugHelp exiting(debug_help());
  set_debug_help_for_testing(&exiting);
  static int object = 0;
  resmonitor::CreateResMonitor(resmonitor::MonitorInfoStack);
  resmonitor::AddResource("ExitChild", &object);
  resmonitor::ResMonitorInfo info;
  resmonitor::GetObjResource("ExitChild", &object, info);
  std::fputs("the resolution returned\n", stderr);
  std::exit(3);
}

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

}  // namespace

int main(int argc, char** argv) {
  alarm(kAlarmSeconds);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "check-thread-sink") exit_from_check_thread_sink();
  if (mode == "watchdog-sink") exit_from_watchdog_sink();
  if (mode == "resolution") exit_inside_resolution();
  if (mode == "host-sink-check-thread") exit_in_host_sink_while_check_thread_waits();
  if (mode == "host-sink-watchdog") exit_in_host_sink_while_watchdog_waits();
  std::puts("unknown mode");
  return 2;
}
