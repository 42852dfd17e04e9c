// Costs of the freeze monitor: a trace (tracer creation and release) as host code pays it, and
// the CPU the watchdog burns while nothing is traced.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "freezemonitor/freeze_monitor_impl.h"

namespace {

// Thresholds far away, so the watchdog never reports during a run.
freezemonitor::FreezeMonitor* quiet_monitor() {
  freezemonitor::FreezeMonitor* monitor = GetFreezeMonitor();
  monitor->SetThresholds(3600000, 3600000);
  return monitor;
}

void BM_TraceWithoutUrl(benchmark::State& state) {
  freezemonitor::FreezeMonitor* monitor = quiet_monitor();
  for (auto _ : state) {
    auto tracer = monitor->CreateGPUInitTracer();
    benchmark::DoNotOptimize(tracer.get());
  }
}
BENCHMARK(BM_TraceWithoutUrl);

void BM_TraceWithUrl(benchmark::State& state) {
  freezemonitor::FreezeMonitor* monitor = quiet_monitor();
  const std::string url = "D:/projects/holiday/footage/clip_0001_4k_hdr.mov";
  for (auto _ : state) {
    auto tracer = monitor->CreateEffectRenderTracer(url, 1);
    benchmark::DoNotOptimize(tracer.get());
  }
}
BENCHMARK(BM_TraceWithUrl);

// Many host threads tracing at once contend for records_mutex with each other and the watchdog.
void BM_TraceContended(benchmark::State& state) {
  freezemonitor::FreezeMonitor* monitor = quiet_monitor();
  for (auto _ : state) {
    auto tracer = monitor->CreateVideoOpenDecoderTracer("media/clip.mov", 0);
    benchmark::DoNotOptimize(tracer.get());
  }
}
BENCHMARK(BM_TraceContended)->Threads(4);

double process_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The process sleeps while the watchdog runs with an empty registry: the process's CPU time is
// the watchdog's (the bus's dispatch thread waits on its condition). Reported as a share of one
// core, and as passes per second.
void BM_IdleWatchdogCpu(benchmark::State& state) {
  freezemonitor::FreezeMonitorImpl& monitor = freezemonitor::freeze_monitor();
  const auto window = std::chrono::seconds(state.range(0));
  double cpu = 0;
  double wall = 0;
  std::uint64_t passes = 0;
  for (auto _ : state) {
    const double cpu_before = process_cpu_seconds();
    const std::uint64_t passes_before = monitor.completed_passes();
    const auto wall_before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(window);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    passes += monitor.completed_passes() - passes_before;
    cpu += process_cpu_seconds() - cpu_before;
  }
  state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
  state.counters["cpu_us_per_s"] = 1e6 * cpu / wall;
  state.counters["passes_per_s"] = static_cast<double>(passes) / wall;
}
BENCHMARK(BM_IdleWatchdogCpu)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
