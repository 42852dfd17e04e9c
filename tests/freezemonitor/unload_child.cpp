// Loads the library at run time, as a host that plugs it in does. Modes:
//   unload: lets the watchdog report, then unloads the library while the watchdog runs; prints
//     "unloaded" once the unload call returned, then whether the library is still mapped.
//   held-by-static: hands a tracer to a library that was loaded first and so is torn down after
//     the monitor at exit.
//   running: exits while the watchdog runs and a task is still traced, with recovery records and
//     statistics on; a frozen task ends right before.
//   exit-in-sink: like held-by-static, but the host's log sink ends the process (code 27): the
//     tracer is released on the exiting thread, which still holds the sink's lock.
//   stopped, stopped-counted (Linux): a task 0.2 s old, then the process stopped for 3 s
//     (SIGSTOP, and SIGCONT from a helper process) with thresholds of 1 s and 2 s; the second
//     mode switches off leaving that time out. Prints the freeze monitor's lines.
// The parent test checks the exit code and the output (the default log sink writes to stderr).
#include <core/async_event_bus.h>
#include <core/log.h>
#include <quillmark/freeze_monitor.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "tests/resmonitor/loaded_library.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using resmonitor::testing::LoadedLibrary;
using Hold = void (*)(const std::shared_ptr<void>*);

std::atomic<int> g_freezed_lines{0};

void count_freezed(const core::LogRecord& record, void*) {
  if (std::strstr(record.text, "task has freezed.") != nullptr) ++g_freezed_lines;
}

// Waits up to 20 s for the first of the `lines` a sink counts.
bool wait_for(const std::atomic<int>& lines) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (lines.load() == 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int unload_while_running(LoadedLibrary& library, freezemonitor::FreezeMonitor* monitor) {
  core::SetLogSink(&count_freezed, nullptr);
  monitor->SetThresholds(0, 0);
  {
    auto tracer = monitor->CreateGPUInitTracer();
    if (!wait_for(g_freezed_lines)) {
      std::puts("watchdog silent");
      return 4;
    }
  }
  // Released tracers only: a tracer must not outlive the code that ends it.
  monitor->SetThresholds(60000, 60000);
  monitor->CreateProjSaveTracer().reset();
  // Creating that tracer waited for the watchdog's pass, which posted the freeze event. The
  // bus's entry for it runs the library's code, so, as a host must, let the bus finish with
  // it before unloading.
  if (!core::GetGlobalEventBus().waitUntilIdle(std::chrono::seconds(20))) {
    std::puts("bus busy");
    return 5;
  }
  library.unload();
  std::puts("unloaded");
  std::puts(LoadedLibrary::resident(QUILLMARK_LIBRARY) ? "resident" : "gone");
  std::fflush(stdout);
  core::SetLogSink(nullptr, nullptr);
  return 0;
}

int hold_past_monitor(Hold hold, freezemonitor::FreezeMonitor* monitor) {
  const std::shared_ptr<void> tracer = monitor->CreateGPUInitTracer();
  hold(&tracer);
  std::puts("holding");
  std::fflush(stdout);
  return 0;
}

int exit_while_running(freezemonitor::FreezeMonitor* monitor, unsigned (*set_extras)(unsigned)) {
  set_extras(kQuillmarkFreezeRecovery | kQuillmarkFreezeStatistics);
  core::SetLogSink(&count_freezed, nullptr);
  monitor->SetThresholds(0, 0);
  const auto first = monitor->CreateD3DRenderTracer();
  if (!wait_for(g_freezed_lines)) {
    std::puts("watchdog silent");
    return 4;
  }
  core::SetLogSink(nullptr, nullptr);
  monitor->SetThresholds(60000, 30000);
  // Never released: the task is still traced when the process ends.
  static auto* running =
      new std::shared_ptr<freezemonitor::FreezeTracer>(monitor->CreateProjLoadTracer());
  static_cast<void>(running);
  std::puts("exiting");
  std::fflush(stdout);
  return 0;
}

constexpr int kSinkExitCode = 27;

void exit_from_sink(const core::LogRecord& record, void*) {
  if (std::strcmp(record.module, "host") == 0) std::exit(kSinkExitCode);
}

int exit_in_sink_holding(Hold hold, freezemonitor::FreezeMonitor* monitor) {
  hold_past_monitor(hold, monitor);
  core::SetLogSink(&exit_from_sink, nullptr);
  CoreLogPrint("host", 4, "the host ends the process from its sink");
  std::puts("the sink returned");
  return 3;
}

#if !defined(_WIN32)

std::atomic<int> g_gap_lines{0};

void print_freeze_lines(const core::LogRecord& record, void*) {
  if (std::strcmp(record.module, "FreezeMonitor") != 0) return;
  if (std::strstr(record.text, "watchdog could not run") != nullptr) ++g_gap_lines;
  if (std::strstr(record.text, "task has freezed.") != nullptr) ++g_freezed_lines;
  std::printf("[%d] %s\n", record.level, record.text);
  std::fflush(stdout);
}

// Stops the whole process for `seconds`; a helper process sends the SIGCONT.
void stop_process_for(unsigned seconds) {
  const pid_t stopped = getpid();
  const pid_t resumer = fork();
  if (resumer == 0) {
    sleep(seconds);
    kill(stopped, SIGCONT);
    _exit(0);
  }
  kill(stopped, SIGSTOP);
  waitpid(resumer, nullptr, 0);
}

int stop_while_traced(LoadedLibrary& library, freezemonitor::FreezeMonitor* monitor, bool skip) {
  auto* set_skip = library.function<bool(bool)>("SetFreezeSuspensionSkipEnabled");
  if (set_skip == nullptr) {
    std::puts("load failed");
    return 2;
  }
  set_skip(skip);
  core::SetLogSink(&print_freeze_lines, nullptr);
  monitor->SetThresholds(2000, 1000);
  {
    const auto task = monitor->CreateGetMediaInfoTracer("media/stopped");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop_process_for(3);
    // The pass after the stop has logged the gap (or, counted, the reports); the task's own time
    // is about 0.5 s when it ends.
    if (!wait_for(skip ? g_gap_lines : g_freezed_lines)) {
      std::puts("watchdog silent");
      return 4;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  core::SetLogSink(nullptr, nullptr);
  std::puts("released");
  return 0;
}

#endif

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  // Loaded first, so torn down after the monitor's library.
  // Both stay loaded until the process ends, unless the mode unloads the library.
  LoadedLibrary holder(TRACER_HOLDER_LIBRARY);
  LoadedLibrary library(QUILLMARK_LIBRARY);
  auto* hold = holder.function<void(const std::shared_ptr<void>*)>("HoldUntilTeardown");
  auto* get_monitor = library.function<freezemonitor::FreezeMonitor*()>("GetFreezeMonitor");
  if (hold == nullptr || get_monitor == nullptr) {
    std::puts("load failed");
    return 2;
  }
  if (mode == "unload") return unload_while_running(library, get_monitor());
  if (mode == "held-by-static") return hold_past_monitor(hold, get_monitor());
  if (mode == "exit-in-sink") return exit_in_sink_holding(hold, get_monitor());
  if (mode == "running") {
    auto* set_extras = library.function<unsigned(unsigned)>("SetFreezeReportExtras");
    return set_extras ? exit_while_running(get_monitor(), set_extras) : 2;
  }
#if !defined(_WIN32)
  if (mode == "stopped") return stop_while_traced(library, get_monitor(), true);
  if (mode == "stopped-counted") return stop_while_traced(library, get_monitor(), false);
#endif
  std::puts("unknown mode");
  return 3;
}
