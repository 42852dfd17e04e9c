// Costs of the resource monitor as a host sees them, through the exported functions.
#include <benchmark/benchmark.h>

#include <quillmark/resource_monitor.h>

#include <core/log.h>

#include <execinfo.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "ratio.h"

namespace {

using namespace resmonitor;

// The check thread's start and end lines would drown the results.
const bool g_quiet_log = [] {
  core::SetLogSink([](const core::LogRecord&, void*) {}, nullptr);
  return true;
}();

MonitorInfoLevel level_of(std::int64_t bits) { return static_cast<MonitorInfoLevel>(bits); }

using quillmark::bench::measure_ratio;
using quillmark::bench::report_ratio;
using quillmark::bench::seconds_for;

// Deep enough that every capture finds the 14 frames it asks for.
constexpr int kNesting = 16;
// Frames a level-1 registration captures.
constexpr int kCapturedFrames = 14;

// Runs `work` below `depth` frames of a plain function, as host code a few calls deep would
// register: short frame names, so the stack texts are as long as a host's typically are.
__attribute__((noinline)) void descend(int depth, void (*work)(void*), void* context) {
  if (depth == 0) {
    work(context);
  } else {
    descend(depth - 1, work, context);
  }
  asm volatile("" ::: "memory");
}

template <typename Work>
void nested(int depth, const Work& work) {
  descend(
      depth, [](void* context) { (*static_cast<const Work*>(context))(); },
      const_cast<Work*>(&work));
}

// What a host would write by hand for a registry without stacks.
class MutexMapRegistry {
 public:
  void add(void* obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.emplace(obj, std::time(nullptr));
  }
  void remove(void* obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(obj);
  }

 private:
  std::mutex mutex_;
  std::map<void*, std::time_t> entries_;
};

// Level-1 AddResource+RemoveResource against glibc backtrace() of the same 14 frames, from the
// same depth.
void BM_Level1AddRemoveVsBacktrace(benchmark::State& state) {
  SetMonitorInfoLevel(MonitorInfoStack);
  int objects[64];
  void* frames[kCapturedFrames];
  nested(kNesting, [&] {
    measure_ratio(
        state, 2000,
        [&](std::size_t) {
          benchmark::DoNotOptimize(backtrace(frames, kCapturedFrames));
          benchmark::ClobberMemory();
        },
        [&](std::size_t i) {
          AddResource("Texture", &objects[i % 64]);
          RemoveResource("Texture", &objects[i % 64]);
        });
  });
  SetMonitorInfoLevel(MonitorInfoNone);
}
BENCHMARK(BM_Level1AddRemoveVsBacktrace)->Unit(benchmark::kMillisecond);

// Level-8 (no stacks) AddResource+RemoveResource against std::mutex + std::map insert/erase.
void BM_Level8AddRemoveVsMutexMap(benchmark::State& state) {
  SetMonitorInfoLevel(static_cast<MonitorInfoLevel>(8));
  int objects[64];
  MutexMapRegistry baseline;
  measure_ratio(
      state, 20000,
      [&](std::size_t i) {
        baseline.add(&objects[i % 64]);
        baseline.remove(&objects[i % 64]);
      },
      [&](std::size_t i) {
        AddResource("Texture", &objects[i % 64]);
        RemoveResource("Texture", &objects[i % 64]);
      });
  SetMonitorInfoLevel(MonitorInfoNone);
}
BENCHMARK(BM_Level8AddRemoveVsMutexMap)->Unit(benchmark::kMillisecond);

// Wall time of `threads` threads each running `work(thread)` once, from the moment all of them
// are ready. Each first runs `warm_up(thread)` and then waits for the others, so that what a new
// thread pays once (its unwinder cache, its first pages) stays out of the figure: a thread that
// blocks on it may be woken onto its waker's processor, and a round of a few milliseconds would
// then measure the scheduler's placement rather than the registry.
template <typename WarmUp, typename Work>
double threads_seconds(int threads, const WarmUp& warm_up, const Work& work) {
  std::atomic<int> ready{0};
  std::vector<std::chrono::steady_clock::time_point> starts(static_cast<std::size_t>(threads));
  std::vector<std::chrono::steady_clock::time_point> ends(starts.size());
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      warm_up(t);
      ready.fetch_add(1);
      while (ready.load() < threads) std::this_thread::yield();
      starts[static_cast<std::size_t>(t)] = std::chrono::steady_clock::now();
      work(t);
      ends[static_cast<std::size_t>(t)] = std::chrono::steady_clock::now();
    });
  }
  for (std::thread& worker : workers) worker.join();
  const auto first_start = *std::min_element(starts.begin(), starts.end());
  const auto last_end = *std::max_element(ends.begin(), ends.end());
  return std::chrono::duration<double>(last_end - first_start).count();
}

// Wall time of `threads` threads each doing `calls` rounds of arithmetic that shares nothing:
// the scaling the machine offers at the moment.
double compute_seconds(int threads, std::size_t calls) {
  const auto arithmetic = [](std::size_t rounds) {
    std::uint64_t value = 1;
    for (std::size_t i = 0; i < rounds; ++i) value = value * 6364136223846793005ull + i;
    benchmark::DoNotOptimize(value);
  };
  return threads_seconds(
      threads, [&](int) { arithmetic(calls); }, [&](int) { arithmetic(calls * 400); });
}

// Wall time of `threads` threads each doing `calls` level-1 add+remove pairs under one name,
// on 64 objects of its own. As in a host, each thread makes its objects itself (they lie in its
// allocator arena) unless `one_block`: then they are parts of one array, aligned so that it lies
// in one 64 KiB block, and the threads' registrations share one slice of the registry.
double level1_seconds(int threads, std::size_t calls, bool one_block = false) {
  constexpr std::size_t kObjects = 64;
  alignas(1024) static int shared_block[8 * kObjects];
  std::vector<std::vector<int>> made_by_thread(static_cast<std::size_t>(threads));
  const auto add_remove = [&](int thread, std::size_t rounds) {
    std::vector<int>& made = made_by_thread[static_cast<std::size_t>(thread)];
    if (!one_block && made.empty()) made.resize(kObjects);
    int* own = one_block ? shared_block + kObjects * static_cast<std::size_t>(thread) : made.data();
    nested(kNesting, [&] {
      seconds_for(rounds, [&](std::size_t i) {
        AddResource("Texture", &own[i % kObjects]);
        RemoveResource("Texture", &own[i % kObjects]);
      });
    });
  };
  constexpr std::size_t kWarmUpCalls = 256;
  return threads_seconds(
      threads, [&](int thread) { add_remove(thread, kWarmUpCalls); },
      [&](int thread) { add_remove(thread, calls); });
}

// Level-1 throughput of two threads against one; "ratio" here is throughput(2) / throughput(1)
// (each thread does the same number of calls, so it is 2 * time(1) / time(2)). "machine_ratio"
// is the same for work that shares nothing: what the machine allowed during the run. The
// ratios compare the fastest round of each kind: on this shared machine a processor now and
// then runs a round a third slower for reasons of its own, which only ever slows a round down.
// "ratio_mean" compares all rounds, for the record.
void BM_Level1ThroughputTwoThreadsVsOne(benchmark::State& state) {
  SetMonitorInfoLevel(MonitorInfoStack);
  constexpr std::size_t kCalls = 100000;
  constexpr double kNone = 1e9;
  double one = 0;
  double two = 0;
  double fastest_one = kNone;
  double fastest_two = kNone;
  double machine_one = kNone;
  double machine_two = kNone;
  double one_block = kNone;
  double two_one_block = kNone;
  const auto keep_fastest = [](double& fastest, double seconds) {
    fastest = std::min(fastest, seconds);
    return seconds;
  };
  for (auto _ : state) {
    one += keep_fastest(fastest_one, level1_seconds(1, kCalls));
    two += keep_fastest(fastest_two, level1_seconds(2, kCalls));
    keep_fastest(one_block, level1_seconds(1, kCalls, true));
    keep_fastest(two_one_block, level1_seconds(2, kCalls, true));
    keep_fastest(machine_one, compute_seconds(1, kCalls));
    keep_fastest(machine_two, compute_seconds(2, kCalls));
  }
  // The same with objects made side by side by one thread: the worst case, for the record.
  state.counters["ratio_one_block"] = 2 * one_block / two_one_block;
  state.counters["machine_ratio"] = 2 * machine_one / machine_two;
  state.counters["one_thread_ns"] = fastest_one * 1e9 / kCalls;
  state.counters["two_threads_ns"] = fastest_two * 1e9 / (2 * kCalls);
  state.counters["ratio"] = 2 * fastest_one / fastest_two;
  state.counters["ratio_mean"] = 2 * one / two;
  state.counters["cores"] = std::thread::hardware_concurrency();
  SetMonitorInfoLevel(MonitorInfoNone);
}
BENCHMARK(BM_Level1ThroughputTwoThreadsVsOne)
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The length of one listed stack text, for the record.
double g_text_bytes = 0;

// Seconds per GetAllResource, over several rounds.
struct RoundSeconds {
  double fastest = 1e9;
  double total = 0;
  int rounds = 0;

  void add(double seconds) {
    fastest = std::min(fastest, seconds);
    total += seconds;
    ++rounds;
  }
};

// GetAllResource of `entries` entries under 10 names at `level`, `rounds` times, each round
// timed apart (the first query, which resolves every stack once, left out).
void time_get_all(MonitorInfoLevel level, int entries, int rounds, RoundSeconds& times) {
  static const char* const names[] = {"Texture", "Shader", "Buffer", "Decoder", "Encoder",
                                      "Effect",  "Clip",   "Track",  "Frame",   "Surface"};
  SetMonitorInfoLevel(level);
  std::vector<char> objects(static_cast<std::size_t>(entries));
  nested(kNesting, [&] {
    for (int i = 0; i < entries; ++i) AddResource(names[i % 10], &objects[i]);
  });
  {
    // Freed before the timed rounds, as a host frees one listing before it asks for the next:
    // kept alive, it would push every round's copies into memory new to the process.
    std::list<ResMonitorInfo> all;
    GetAllResource(all);
    g_text_bytes = static_cast<double>(all.front().callStack.size());
  }
  for (int round = 0; round < rounds; ++round) {
    times.add(seconds_for(1, [&](std::size_t) {
      std::list<ResMonitorInfo> listed;
      GetAllResource(listed);
      benchmark::DoNotOptimize(listed.size());
    }));
  }
  SetMonitorInfoLevel(MonitorInfoNone);
}

// GetAllResource of 100k entries with stacks (level 1) against the same without (level 8); the
// ratio compares all rounds, "ratio_fastest" the fastest of each kind.
void BM_GetAll100kStacksVsNone(benchmark::State& state) {
  constexpr int kEntries = 100000;
  RoundSeconds without;
  RoundSeconds with;
  for (auto _ : state) {
    time_get_all(static_cast<MonitorInfoLevel>(8), kEntries, 3, without);
    time_get_all(MonitorInfoStack, kEntries, 3, with);
  }
  report_ratio(state, without.total / without.rounds, with.total / with.rounds, kEntries);
  state.counters["ratio_fastest"] = with.fastest / without.fastest;
  state.counters["text_bytes"] = g_text_bytes;
}
BENCHMARK(BM_GetAll100kStacksVsNone)->Iterations(4)->Unit(benchmark::kMillisecond);

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
    nested(kNesting, [&] {
      for (int i = 1; i < kEntries; ++i) AddResource("Texture", &objects[i]);
    });
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
