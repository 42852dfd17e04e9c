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
#include <list>
#include <map>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <utility>
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

// Level-8 (no stacks) AddResource+RemoveResource against std::mutex + std::map insert/erase;
// level 12 adds the check thread, for which each removal reads the clock.
void BM_Level8AddRemoveVsMutexMap(benchmark::State& state) {
  SetMonitorInfoLevel(level_of(state.range(0)));
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
BENCHMARK(BM_Level8AddRemoveVsMutexMap)
    ->ArgName("level")
    ->Arg(8)
    ->Arg(8 | MonitorInfoCheck)
    ->Unit(benchmark::kMillisecond);

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

// Where the objects a thread registers lie.
enum class Layout {
  // Each thread makes its own (they lie in its allocator arena).
  own_heap,
  // One array of 64-byte frames, handed out in turn as a pool does: thread t gets the elements
  // t, t + threads, t + 2 * threads and so on, so every thread's objects lie between the others'.
  neighbours,
  // The same array handed out in a shuffled order (a pool whose free list is mixed up), so
  // the threads' objects lie between each other's in no pattern.
  shuffled,
};

// Wall time of `threads` threads each doing `calls` add+remove pairs under one name, on 64
// objects of its own laid out as `layout` says, at the level set.
double add_remove_seconds(int threads, std::size_t calls, Layout layout) {
  constexpr std::size_t kObjects = 64;
  struct alignas(64) Frame {
    char bytes[64];
  };
  static std::vector<Frame> pool(kObjects * 4);
  static const std::vector<std::size_t> shuffled = [] {
    std::vector<std::size_t> order(pool.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(20261207));
    return order;
  }();
  std::vector<std::vector<int>> made_by_thread(static_cast<std::size_t>(threads));
  const auto object = [&](int thread, std::size_t i) -> void* {
    const std::size_t turn =
        (i % kObjects) * static_cast<std::size_t>(threads) + static_cast<std::size_t>(thread);
    if (layout == Layout::neighbours) return &pool[turn];
    if (layout == Layout::shuffled) return &pool[shuffled[turn]];
    std::vector<int>& made = made_by_thread[static_cast<std::size_t>(thread)];
    if (made.empty()) made.resize(kObjects);
    return &made[i % kObjects];
  };
  const auto add_remove = [&](int thread, std::size_t rounds) {
    nested(kNesting, [&] {
      seconds_for(rounds, [&](std::size_t i) {
        void* obj = object(thread, i);
        AddResource("Texture", obj);
        RemoveResource("Texture", obj);
      });
    });
  };
  constexpr std::size_t kWarmUpCalls = 256;
  return threads_seconds(
      threads, [&](int thread) { add_remove(thread, kWarmUpCalls); },
      [&](int thread) { add_remove(thread, calls); });
}

// Throughput of `threads` threads against one thread with the same layout; "ratio" is
// throughput(n) / throughput(1) (each thread does the same number of calls, so it is
// n * time(1) / time(n)). "machine_ratio" is the same for work that shares nothing: what the
// machine allowed during the run. The ratios compare the fastest round of each kind: on this
// shared machine a processor now and then runs a round a third slower for reasons of its own,
// which only ever slows a round down. "ratio_mean" compares all rounds, for the record.
// Args: threads, layout, level (1: stacks, 8: none).
void BM_ThroughputThreadsVsOne(benchmark::State& state) {
  SetMonitorInfoLevel(level_of(state.range(2)));
  const int threads = static_cast<int>(state.range(0));
  const auto layout = static_cast<Layout>(state.range(1));
  constexpr std::size_t kCalls = 100000;
  constexpr double kNone = 1e9;
  double one = 0;
  double many = 0;
  double fastest_one = kNone;
  double fastest_many = kNone;
  double machine_one = kNone;
  double machine_many = kNone;
  const auto keep_fastest = [](double& fastest, double seconds) {
    fastest = std::min(fastest, seconds);
    return seconds;
  };
  for (auto _ : state) {
    one += keep_fastest(fastest_one, add_remove_seconds(1, kCalls, layout));
    many += keep_fastest(fastest_many, add_remove_seconds(threads, kCalls, layout));
    keep_fastest(machine_one, compute_seconds(1, kCalls));
    keep_fastest(machine_many, compute_seconds(threads, kCalls));
  }
  state.counters["machine_ratio"] = threads * machine_one / machine_many;
  state.counters["one_thread_ns"] = fastest_one * 1e9 / kCalls;
  state.counters["threads_ns"] = fastest_many * 1e9 / (threads * kCalls);
  state.counters["ratio"] = threads * fastest_one / fastest_many;
  state.counters["ratio_mean"] = threads * one / many;
  state.counters["cores"] = std::thread::hardware_concurrency();
  SetMonitorInfoLevel(MonitorInfoNone);
}
BENCHMARK(BM_ThroughputThreadsVsOne)
    ->ArgNames({"threads", "layout", "level"})
    ->Args({2, static_cast<int>(Layout::own_heap), 1})
    ->Args({2, static_cast<int>(Layout::own_heap), 8})
    ->Args({2, static_cast<int>(Layout::neighbours), 1})
    ->Args({4, static_cast<int>(Layout::neighbours), 1})
    ->Args({2, static_cast<int>(Layout::neighbours), 8})
    ->Args({2, static_cast<int>(Layout::shuffled), 1})
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The length of one listed stack text, for the record.
double g_text_bytes = 0;

// Seconds per GetAllResource, over several rounds.
struct RoundSeconds {
  std::vector<double> each;

  void add(double seconds) { each.push_back(seconds); }
  double fastest() const { return *std::min_element(each.begin(), each.end()); }
  double mean() const { return std::accumulate(each.begin(), each.end(), 0.0) / each.size(); }
  double median() const { return quillmark::bench::median_of(each); }
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
  report_ratio(state, without.mean(), with.mean(), kEntries);
  state.counters["ratio_fastest"] = with.fastest() / without.fastest();
  state.counters["text_bytes"] = g_text_bytes;
}
BENCHMARK(BM_GetAll100kStacksVsNone)->Iterations(4)->Unit(benchmark::kMillisecond);

// A listing as a registry of maps would make it: one map of entries per name, each entry's copy
// (its stack text included) appended in name order, then pointer order.
class MapOfMapsRegistry {
 public:
  explicit MapOfMapsRegistry(std::list<ResMonitorInfo>&& listed) {
    for (ResMonitorInfo& info : listed) groups_[info.objName][info.obj] = std::move(info);
  }
  void append_all(std::list<ResMonitorInfo>& out) const {
    for (const auto& group : groups_) {
      for (const auto& entry : group.second) out.push_back(entry.second);
    }
  }

 private:
  std::map<std::string, std::map<void*, ResMonitorInfo>> groups_;
};

// GetAllResource of Args[0] entries under 10 names at level Args[1] against copying the same
// entries, with their texts, out of a map of maps; each listing is freed before the next round.
// "ratio" compares all rounds, "ratio_fastest" the fastest of each kind, "median_ratio" the
// median rounds.
void BM_GetAllVsMapCopy(benchmark::State& state) {
  static const char* const names[] = {"Texture", "Shader", "Buffer", "Decoder", "Encoder",
                                      "Effect",  "Clip",   "Track",  "Frame",   "Surface"};
  const auto entries = static_cast<std::size_t>(state.range(0));
  SetMonitorInfoLevel(level_of(state.range(1)));
  std::vector<char> objects(entries);
  nested(kNesting, [&] {
    for (std::size_t i = 0; i < entries; ++i) AddResource(names[i % 10], &objects[i]);
  });
  std::list<ResMonitorInfo> first;
  GetAllResource(first);  // resolves every stack once
  const MapOfMapsRegistry baseline(std::move(first));
  first.clear();
  RoundSeconds copied;
  RoundSeconds listed;
  const auto time_listing = [](RoundSeconds& times, const auto& list_into) {
    std::list<ResMonitorInfo> out;
    times.add(seconds_for(1, [&](std::size_t) { list_into(out); }));
    benchmark::DoNotOptimize(out.size());
  };
  for (auto _ : state) {
    time_listing(copied, [&](std::list<ResMonitorInfo>& out) { baseline.append_all(out); });
    time_listing(listed, [&](std::list<ResMonitorInfo>& out) { GetAllResource(out); });
  }
  report_ratio(state, copied.mean(), listed.mean(), static_cast<double>(entries));
  state.counters["ratio_fastest"] = listed.fastest() / copied.fastest();
  state.counters["median_ratio"] = listed.median() / copied.median();
  SetMonitorInfoLevel(MonitorInfoNone);
}
BENCHMARK(BM_GetAllVsMapCopy)
    ->ArgNames({"entries", "level"})
    ->Args({100000, 8})
    ->Args({1000000, 8})
    ->Args({100000, 1})
    ->Args({1000000, 1})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

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

// Heap bytes per registration with one name per 10 registrations (100,000 names, each name's
// objects spread over the array as ids registered over time are), at level 8, against a mutex +
// map keyed by name and pointer holding the same.
void BM_MemoryManyNamesVsMutexMap(benchmark::State& state) {
  constexpr std::size_t kNames = 100000;
  constexpr std::size_t kEntries = 10 * kNames;
  std::vector<char> objects(kEntries);
  std::vector<std::string> names(kNames);
  for (std::size_t i = 0; i < kNames; ++i) names[i] = "Name" + std::to_string(i);
  double baseline_bytes = 0;
  double bytes = 0;
  for (auto _ : state) {
    std::size_t before = mallinfo2().uordblks;
    {
      std::mutex mutex;
      std::map<std::pair<std::string, void*>, std::time_t> baseline;
      for (std::size_t i = 0; i < kEntries; ++i) {
        std::lock_guard<std::mutex> lock(mutex);
        baseline.emplace(std::make_pair(names[i % kNames], &objects[i]), std::time(nullptr));
      }
      baseline_bytes = static_cast<double>(mallinfo2().uordblks - before) / kEntries;
    }
    SetMonitorInfoLevel(static_cast<MonitorInfoLevel>(8));
    before = mallinfo2().uordblks;
    for (std::size_t i = 0; i < kEntries; ++i) AddResource(names[i % kNames].c_str(), &objects[i]);
    bytes = static_cast<double>(mallinfo2().uordblks - before) / kEntries;
    SetMonitorInfoLevel(MonitorInfoNone);
  }
  state.counters["baseline_bytes_per_resource"] = baseline_bytes;
  state.counters["bytes_per_resource"] = bytes;
  state.counters["ratio"] = bytes / baseline_bytes;
}
BENCHMARK(BM_MemoryManyNamesVsMutexMap)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
