// Costs of the resource monitor as a host sees them, through the exported functions.
#include <benchmark/benchmark.h>

#include <quillmark/resource_monitor.h>

#include <core/log.h>

#include <malloc.h>

#include <cstdint>
#include <vector>

namespace {

using namespace resmonitor;

// The check thread's start and end lines would drown the results.
const bool g_quiet_log = [] {
  core::SetLogSink([](const core::LogRecord&, void*) {}, nullptr);
  return true;
}();

MonitorInfoLevel level_of(std::int64_t bits) { return static_cast<MonitorInfoLevel>(bits); }

// One add and one remove of a fresh registration; Arg = level (0, 4 or 5).
void BM_AddRemove(benchmark::State& state) {
  if (state.thread_index() == 0) SetMonitorInfoLevel(level_of(state.range(0)));
  int objects[64];
  std::size_t next = 0;
  for (auto _ : state) {
    void* obj = &objects[next++ % 64];
    AddResource("Texture", obj);
    RemoveResource("Texture", obj);
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) SetMonitorInfoLevel(MonitorInfoNone);
}
BENCHMARK(BM_AddRemove)->Arg(0)->Arg(4)->Arg(5)->Threads(1)->Threads(4)->UseRealTime();

// The first query of a registration resolves its stack to text.
void BM_GetObjResourceFirst(benchmark::State& state) {
  SetMonitorInfoLevel(MonitorInfoStack);
  int object = 0;
  ResMonitorInfo info;
  for (auto _ : state) {
    state.PauseTiming();
    AddResource("Texture", &object);
    state.ResumeTiming();
    benchmark::DoNotOptimize(GetObjResource("Texture", &object, info));
    state.PauseTiming();
    RemoveResource("Texture", &object);
    state.ResumeTiming();
  }
  SetMonitorInfoLevel(MonitorInfoNone);
}
BENCHMARK(BM_GetObjResourceFirst);

// Later queries copy the text kept in the entry.
void BM_GetObjResourceCached(benchmark::State& state) {
  SetMonitorInfoLevel(MonitorInfoStack);
  int object = 0;
  ResMonitorInfo info;
  AddResource("Texture", &object);
  GetObjResource("Texture", &object, info);
  for (auto _ : state) benchmark::DoNotOptimize(GetObjResource("Texture", &object, info));
  SetMonitorInfoLevel(MonitorInfoNone);
}
BENCHMARK(BM_GetObjResourceCached);

// A list of 10k entries under 10 names; Arg = level (8: no stacks, 1: stacks, each copy described
// anew since list queries do not keep the text in the entry).
void BM_GetAllResource10k(benchmark::State& state) {
  constexpr int kEntries = 10000;
  SetMonitorInfoLevel(level_of(state.range(0)));
  std::vector<char> objects(kEntries);
  const char* names[] = {"Texture", "Shader", "Buffer", "Decoder", "Encoder",
                         "Effect",  "Clip",   "Track",  "Frame",   "Surface"};
  for (int i = 0; i < kEntries; ++i) AddResource(names[i % 10], &objects[i]);
  std::list<ResMonitorInfo> all;
  GetAllResource(all);  // the first resolution of every stack happens outside the timing
  for (auto _ : state) {
    all.clear();
    GetAllResource(all);
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
  SetMonitorInfoLevel(MonitorInfoNone);
}
BENCHMARK(BM_GetAllResource10k)->Arg(8)->Arg(1)->Unit(benchmark::kMillisecond);

// Heap bytes per registration, without and with a recorded stack (Arg = level); a counter, the
// timing is of the whole batch.
void BM_MemoryPerResource(benchmark::State& state) {
  constexpr int kEntries = 10000;
  std::vector<char> objects(kEntries);
  SetMonitorInfoLevel(level_of(state.range(0)));
  AddResource("Texture", &objects[0]);  // the group itself is not counted
  double bytes = 0;
  for (auto _ : state) {
    const std::size_t before = mallinfo2().uordblks;
    for (int i = 1; i < kEntries; ++i) AddResource("Texture", &objects[i]);
    bytes = static_cast<double>(mallinfo2().uordblks - before) / (kEntries - 1);
    state.PauseTiming();
    for (int i = 1; i < kEntries; ++i) RemoveResource("Texture", &objects[i]);
    state.ResumeTiming();
  }
  state.counters["bytes_per_resource"] = bytes;
  SetMonitorInfoLevel(MonitorInfoNone);
}
BENCHMARK(BM_MemoryPerResource)->Arg(8)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
