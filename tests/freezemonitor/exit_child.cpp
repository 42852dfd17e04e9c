// Exits while the watchdog runs and a task is still traced; the parent test checks the exit code
// and what was logged (the default log sink writes to stderr).
#include <core/log.h>
#include <quillmark/freeze_monitor.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

// Never released: the task is still traced when the process ends.
std::shared_ptr<freezemonitor::FreezeTracer>* g_running_tracer = nullptr;

std::atomic<int> g_freezed_lines{0};

void count_freezed(const core::LogRecord& record, void*) {
  if (std::strstr(record.text, "task has freezed.") != nullptr) ++g_freezed_lines;
}

int exit_while_running() {
  core::SetLogSink(&count_freezed, nullptr);
  freezemonitor::FreezeMonitor* monitor = GetFreezeMonitor();
  monitor->SetThresholds(0, 0);
  auto first = monitor->CreateD3DRenderTracer();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (g_freezed_lines.load() == 0) {
    if (std::chrono::steady_clock::now() > deadline) return 4;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  core::SetLogSink(nullptr, nullptr);
  monitor->SetThresholds(60000, 30000);
  g_running_tracer =
      new std::shared_ptr<freezemonitor::FreezeTracer>(monitor->CreateProjLoadTracer());
  std::puts("exiting");
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "running") return exit_while_running();
  std::puts("unknown mode");
  return 2;
}
