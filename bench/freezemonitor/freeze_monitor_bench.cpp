// Costs of the freeze monitor, each against a baseline measured in the same run:
// - a trace (tracer creation and release) as host code pays it, in bursts of N tracers, against
//   a hand-written tracer (make_shared, one clock read, a mutex-protected vector), with the
//   report extras off and on, and with the caches cold between bursts;
// - the CPU and the wake-ups of the idle watchdog, against a thread that polls every millisecond;
// - how late a report comes after its threshold, now that the watchdog sleeps until it;
// - what a freeze report costs the watchdog with stack capture on: interrupting the frozen
//   thread and taking its stack, and turning it into text.
#include <benchmark/benchmark.h>
#include <core/log.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "callstack/thread_stack_text.h"
#include "freezemonitor/freeze_monitor_impl.h"
#include "platform/platform.h"
#include "platform/thread_capture.h"
#include "ratio.h"

namespace {

using Steady = std::chrono::steady_clock;

// Thresholds far away, so the watchdog never reports during a run.
freezemonitor::FreezeMonitorImpl& quiet_monitor() {
  freezemonitor::FreezeMonitorImpl& monitor = freezemonitor::freeze_monitor();
  monitor.SetThresholds(3600000, 3600000);
  return monitor;
}

// What a host could write by hand: the tracer remembers its slot, the registry its start time.
class HandRegistry {
 public:
  std::size_t add(std::int64_t start) {
    std::lock_guard<std::mutex> lock(mutex_);
    starts_.push_back(start);
    return starts_.size() - 1;
  }
  void remove(std::size_t slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    starts_[slot] = -1;
    if (++released_ == starts_.size()) {
      starts_.clear();
      released_ = 0;
    }
  }

 private:
  std::mutex mutex_;  // guards starts_ and released_
  std::vector<std::int64_t> starts_;
  std::size_t released_ = 0;
};

// It reads the standard library's clock, as a host's own code would (the monitor reads its own,
// cheaper one).
class HandTracer {
 public:
  explicit HandTracer(HandRegistry& registry)
      : registry_(registry),
        slot_(registry.add(std::chrono::system_clock::now().time_since_epoch().count())) {}
  ~HandTracer() { registry_.remove(slot_); }
  HandTracer(const HandTracer&) = delete;
  HandTracer& operator=(const HandTracer&) = delete;

 private:
  HandRegistry& registry_;
  std::size_t slot_;
};

// The calling thread's CPU time: unlike wall time it does not grow when other work on the
// machine preempts the benchmark.
std::chrono::duration<double> thread_cpu_time() {
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

// Creates `burst` tracers with `make`, then releases them oldest first; repeats so that each
// measurement covers about a thousand tracers. Returns the CPU time spent.
constexpr std::size_t kTracersPerMeasurement = 1000;

template <class Make>
std::chrono::duration<double> time_bursts(std::size_t burst, Make make) {
  using Tracer = decltype(make());
  const std::size_t rounds = kTracersPerMeasurement / burst;
  std::vector<Tracer> held;
  held.reserve(burst);
  const auto start = thread_cpu_time();
  for (std::size_t round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < burst; ++i) held.push_back(make());
    benchmark::DoNotOptimize(held.data());
    for (auto& tracer : held) tracer.reset();
    held.clear();
  }
  return thread_cpu_time() - start;
}

// Arg = burst size (a divisor of kTracersPerMeasurement). The two sides alternate in every
// iteration, so both see the same machine; the iteration time is the monitor's side.
void BM_TraceBurstVsHandWritten(benchmark::State& state) {
  freezemonitor::FreezeMonitorImpl& monitor = quiet_monitor();
  HandRegistry registry;
  const auto burst = static_cast<std::size_t>(state.range(0));
  std::vector<double> ours;
  std::vector<double> hand;
  for (auto _ : state) {
    hand.push_back(
        time_bursts(burst, [&] { return std::make_shared<HandTracer>(registry); }).count());
    ours.push_back(time_bursts(burst, [&] { return monitor.CreateGPUInitTracer(); }).count());
    state.SetIterationTime(ours.back());
  }
  const double ours_total = std::accumulate(ours.begin(), ours.end(), 0.0);
  const double hand_total = std::accumulate(hand.begin(), hand.end(), 0.0);
  const auto tracers = static_cast<double>(state.iterations() * kTracersPerMeasurement);
  state.counters["ns_per_trace"] = 1e9 * ours_total / tracers;
  state.counters["hand_ns_per_trace"] = 1e9 * hand_total / tracers;
  state.counters["ratio"] = ours_total / hand_total;
  // Measurements the machine's neighbours slowed weigh on the totals, not on the medians.
  state.counters["median_ratio"] =
      quillmark::bench::median_of(ours) / quillmark::bench::median_of(hand);
}
BENCHMARK(BM_TraceBurstVsHandWritten)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The same with report extras on, Args = {burst, extras}: the recovery record alone costs
// nothing at a release that was not frozen; statistics read the clock once more per release.
void BM_TraceBurstWithExtrasVsHandWritten(benchmark::State& state) {
  SetFreezeReportExtras(static_cast<unsigned>(state.range(1)));
  BM_TraceBurstVsHandWritten(state);
  SetFreezeReportExtras(0);
}
BENCHMARK(BM_TraceBurstWithExtrasVsHandWritten)
    ->Args({1, kQuillmarkFreezeRecovery})
    ->Args({1000, kQuillmarkFreezeRecovery})
    ->Args({1, kQuillmarkFreezeRecovery | kQuillmarkFreezeStatistics})
    ->Args({1000, kQuillmarkFreezeRecovery | kQuillmarkFreezeStatistics})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Host code does other work between its tasks, which pushes the tracers' data out of the caches:
// each burst follows a pass over a buffer larger than the core's own caches, and only the bursts
// are timed, each on its own. The medians are compared: a burst the scheduler interrupted says
// nothing about either side.
constexpr std::size_t kColdBurstsPerMeasurement = 100;

void other_work(std::vector<unsigned char>& buffer) {
  for (std::size_t at = 0; at < buffer.size(); at += 64) ++buffer[at];
  benchmark::ClobberMemory();
}

template <class Make>
void time_cold_bursts(std::size_t burst, Make make, std::vector<unsigned char>& buffer,
                      std::vector<double>& burst_seconds) {
  using Tracer = decltype(make());
  std::vector<Tracer> held;
  held.reserve(burst);
  for (std::size_t round = 0; round < kColdBurstsPerMeasurement; ++round) {
    other_work(buffer);
    const auto start = Steady::now();
    for (std::size_t i = 0; i < burst; ++i) held.push_back(make());
    benchmark::DoNotOptimize(held.data());
    for (auto& tracer : held) tracer.reset();
    held.clear();
    burst_seconds.push_back(std::chrono::duration<double>(Steady::now() - start).count());
  }
}

// Arg = burst size.
void BM_ColdTraceBurstVsHandWritten(benchmark::State& state) {
  freezemonitor::FreezeMonitorImpl& monitor = quiet_monitor();
  HandRegistry registry;
  std::vector<unsigned char> buffer(4 << 20);
  const auto burst = static_cast<std::size_t>(state.range(0));
  std::vector<double> ours;
  std::vector<double> hand;
  for (auto _ : state) {
    time_cold_bursts(
        burst, [&] { return std::make_shared<HandTracer>(registry); }, buffer, hand);
    const std::size_t first = ours.size();
    time_cold_bursts(
        burst, [&] { return monitor.CreateGPUInitTracer(); }, buffer, ours);
    double spent = 0;
    for (std::size_t at = first; at < ours.size(); ++at) spent += ours[at];
    state.SetIterationTime(spent);
  }
  const double ours_median = quillmark::bench::median_of(ours);
  const double hand_median = quillmark::bench::median_of(hand);
  state.counters["ns_per_trace"] = 1e9 * ours_median / static_cast<double>(burst);
  state.counters["hand_ns_per_trace"] = 1e9 * hand_median / static_cast<double>(burst);
  state.counters["ratio"] = ours_median / hand_median;
}
BENCHMARK(BM_ColdTraceBurstVsHandWritten)
    ->Arg(1)
    ->Arg(10)
    ->Iterations(50)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

void BM_TraceWithUrl(benchmark::State& state) {
  freezemonitor::FreezeMonitorImpl& monitor = quiet_monitor();
  const std::string url = "D:/projects/holiday/footage/clip_0001_4k_hdr.mov";
  for (auto _ : state) {
    auto tracer = monitor.CreateEffectRenderTracer(url, 1);
    benchmark::DoNotOptimize(tracer.get());
  }
}
BENCHMARK(BM_TraceWithUrl);

// Many host threads tracing at once contend for records_mutex.
void BM_TraceContended(benchmark::State& state) {
  freezemonitor::FreezeMonitorImpl& monitor = quiet_monitor();
  for (auto _ : state) {
    auto tracer = monitor.CreateVideoOpenDecoderTracer("media/clip.mov", 0);
    benchmark::DoNotOptimize(tracer.get());
  }
}
BENCHMARK(BM_TraceContended)->Threads(4);

double thread_cpu_seconds(pthread_t thread) {
  clockid_t clock{};
  timespec used{};
  if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &used) != 0) return 0;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

// The old way of watching: wake every millisecond and scan an empty registry.
class IdlePoller {
 public:
  IdlePoller()
      : thread_([this] {
          while (!stop_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::lock_guard<std::mutex> lock(mutex_);
            benchmark::DoNotOptimize(registry_.size());
            wakeups_.fetch_add(1);
          }
        }) {}
  ~IdlePoller() {
    stop_.store(true);
    thread_.join();
  }
  IdlePoller(const IdlePoller&) = delete;
  IdlePoller& operator=(const IdlePoller&) = delete;

  double cpu_seconds() { return thread_cpu_seconds(thread_.native_handle()); }
  std::uint64_t wakeups() const { return wakeups_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> wakeups_{0};
  std::mutex mutex_;  // guards registry_
  std::vector<int> registry_;
  std::thread thread_;
};

// Arg 0: nothing is traced. Arg 1: a hundred tasks are traced, an hour from any threshold.
// The watchdog and the poller run side by side for a window of five seconds; their own threads'
// CPU clocks measure them.
void BM_IdleWatchdogVsPoller(benchmark::State& state) {
  freezemonitor::FreezeMonitorImpl& monitor = quiet_monitor();
  std::vector<std::shared_ptr<freezemonitor::ProjLoadTracer>> held;
  for (int i = 0; state.range(0) == 1 && i < 100; ++i)
    held.push_back(monitor.CreateProjLoadTracer());
  monitor.run_pass();
  IdlePoller poller;
  const pthread_t watchdog = monitor.watchdog_handle();
  double watchdog_cpu = 0;
  double poller_cpu = 0;
  double wall = 0;
  std::uint64_t watchdog_wakeups = 0;
  std::uint64_t poller_wakeups = 0;
  for (auto _ : state) {
    const double watchdog_before = thread_cpu_seconds(watchdog);
    const double poller_before = poller.cpu_seconds();
    const std::uint64_t wakeups_before = monitor.watchdog_wakeups();
    const std::uint64_t polls_before = poller.wakeups();
    const auto start = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    wall += std::chrono::duration<double>(Steady::now() - start).count();
    watchdog_cpu += thread_cpu_seconds(watchdog) - watchdog_before;
    poller_cpu += poller.cpu_seconds() - poller_before;
    watchdog_wakeups += monitor.watchdog_wakeups() - wakeups_before;
    poller_wakeups += poller.wakeups() - polls_before;
  }
  state.counters["cpu_percent_of_core"] = 100.0 * watchdog_cpu / wall;
  state.counters["wakeups_per_s"] = static_cast<double>(watchdog_wakeups) / wall;
  state.counters["poller_cpu_percent"] = 100.0 * poller_cpu / wall;
  state.counters["poller_wakeups_per_s"] = static_cast<double>(poller_wakeups) / wall;
  state.counters["cpu_ratio"] = poller_cpu > 0 ? watchdog_cpu / poller_cpu : 0;
}
BENCHMARK(BM_IdleWatchdogVsPoller)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

// Each task freezes 5 ms after its creation; the log sink notes when its freezed line arrives.
// Lateness = arrival - creation - 5 ms, on the steady clock. The baseline is the old way: a
// thread that looks every millisecond whether a due time has passed.
constexpr std::int64_t kLatenessFreezeMs = 5;
std::atomic<std::int64_t> g_freezed_at_ns{0};

std::int64_t steady_ns(Steady::time_point at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

void note_freezed_line(const core::LogRecord& record, void*) {
  if (std::string(record.text).rfind("task has freezed.", 0) == 0) {
    g_freezed_at_ns.store(steady_ns(Steady::now()));
  }
}

class MillisecondPoller {
 public:
  MillisecondPoller()
      : thread_([this] {
          while (!stop_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const std::int64_t due = due_ns_.load();
            if (due != 0 && steady_ns(Steady::now()) >= due) {
              due_ns_.store(0);
              reported_ns_.store(steady_ns(Steady::now()));
            }
          }
        }) {}
  ~MillisecondPoller() {
    stop_.store(true);
    thread_.join();
  }
  MillisecondPoller(const MillisecondPoller&) = delete;
  MillisecondPoller& operator=(const MillisecondPoller&) = delete;

  // Lateness of one task in microseconds.
  double trace_one() {
    reported_ns_.store(0);
    const std::int64_t due = steady_ns(Steady::now()) + kLatenessFreezeMs * 1000000;
    due_ns_.store(due);
    while (reported_ns_.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    return static_cast<double>(reported_ns_.load() - due) / 1000.0;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> due_ns_{0};
  std::atomic<std::int64_t> reported_ns_{0};
  std::thread thread_;
};

double trace_one_freeze(freezemonitor::FreezeMonitorImpl& monitor) {
  g_freezed_at_ns.store(0);
  const std::int64_t due = steady_ns(Steady::now()) + kLatenessFreezeMs * 1000000;
  auto tracer = monitor.CreateD3DRenderTracer();
  while (g_freezed_at_ns.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  return static_cast<double>(g_freezed_at_ns.load() - due) / 1000.0;
}

void BM_ReportLatenessVsPoller(benchmark::State& state) {
  freezemonitor::FreezeMonitorImpl& monitor = freezemonitor::freeze_monitor();
  monitor.SetThresholds(kLatenessFreezeMs, 0);
  core::SetLogSink(&note_freezed_line, nullptr);
  MillisecondPoller poller;
  std::vector<double> ours;
  std::vector<double> polled;
  for (auto _ : state) {
    ours.push_back(trace_one_freeze(monitor));
    polled.push_back(poller.trace_one());
  }
  core::SetLogSink(nullptr, nullptr);
  quiet_monitor();
  const auto median = [](std::vector<double>& values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
  };
  state.counters["median_late_us"] = median(ours);
  state.counters["poller_median_late_us"] = median(polled);
}
BENCHMARK(BM_ReportLatenessVsPoller)->Iterations(200)->Unit(benchmark::kMillisecond);

// A thread blocked in a condition wait a few frames deep, as a frozen task would be.
class BlockedThread {
 public:
  BlockedThread()
      : thread_([this] {
          std::unique_lock<std::mutex> lock(mutex_);
          id_ = quillmark::platform::current_thread_id();
          changed_.notify_all();
          changed_.wait(lock, [&] { return released_; });
        }) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return id_ != 0; });
  }
  ~BlockedThread() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  BlockedThread(const BlockedThread&) = delete;
  BlockedThread& operator=(const BlockedThread&) = delete;

  quillmark::platform::ThreadId id() const { return id_; }

 private:
  std::mutex mutex_;  // guards id_ and released_
  std::condition_variable changed_;
  quillmark::platform::ThreadId id_ = 0;
  bool released_ = false;
  std::thread thread_;
};

// A thread that runs user code without end, as a task stuck in a computation would.
class SpinningThread {
 public:
  SpinningThread()
      : thread_([this] {
          id_ = quillmark::platform::current_thread_id();
          while (!released_.load()) {
          }
        }) {
    while (id_.load() == 0) std::this_thread::yield();
  }
  ~SpinningThread() {
    released_ = true;
    thread_.join();
  }
  SpinningThread(const SpinningThread&) = delete;
  SpinningThread& operator=(const SpinningThread&) = delete;

  quillmark::platform::ThreadId id() const { return id_; }

 private:
  std::atomic<quillmark::platform::ThreadId> id_{0};
  std::atomic<bool> released_{false};
  std::thread thread_;
};

template <class Frozen>
void measure_frozen_stack(benchmark::State& state, bool with_text) {
  quillmark::platform::enable_thread_capture(quillmark::platform::default_capture_signal());
  Frozen frozen;
  quillmark::platform::ThreadStack stack;
  quillmark::platform::capture_thread_stack(frozen.id(), std::chrono::milliseconds(50), stack);
  resmonitor::describe_thread_stack(stack.frames, stack.count, 10);
  for (auto _ : state) {
    const auto outcome = quillmark::platform::capture_thread_stack(
        frozen.id(), std::chrono::milliseconds(50), stack);
    if (outcome != quillmark::platform::CaptureOutcome::kCaptured) {
      state.SkipWithError("capture failed");
      break;
    }
    if (with_text) {
      benchmark::DoNotOptimize(resmonitor::describe_thread_stack(stack.frames, stack.count, 10));
    }
  }
  quillmark::platform::disable_thread_capture();
}

// Arg 0: the capture alone of a thread blocked in a wait (Linux: walked from outside; Windows:
// suspended). Arg 1: that capture and the text of ten frames (warm: the symbols are loaded before
// the measurement). Arg 2: the capture alone of a thread that runs (Linux: signal, unwind in the
// thread, answer).
void BM_FrozenStackPerReport(benchmark::State& state) {
  if (state.range(0) == 2) {
    measure_frozen_stack<SpinningThread>(state, false);
  } else {
    measure_frozen_stack<BlockedThread>(state, state.range(0) == 1);
  }
}
BENCHMARK(BM_FrozenStackPerReport)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// The watchdog's own CPU time over five seconds while one task is frozen (its thread waits),
// without (Arg 0) and with (Arg 1) sampled stacks every 250 ms.
void BM_WatchdogWithFrozenTask(benchmark::State& state) {
  freezemonitor::FreezeMonitorImpl& monitor = quiet_monitor();
  core::SetLogSink([](const core::LogRecord&, void*) {}, nullptr);
  SetFreezeStackCaptureEnabled(true);
  SetFreezeReportExtras(state.range(0) == 1 ? unsigned{kQuillmarkFreezeSampledStacks} : 0u);
  SetFreezeStackSampling(250, 1000);
  monitor.SetThresholds(20, 0);
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  std::thread task([&] {
    auto tracer = monitor.CreateEffectRenderTracer("fx://frozen", 1);
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return released; });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // frozen by now
  const pthread_t watchdog = monitor.watchdog_handle();
  double cpu = 0;
  double wall = 0;
  std::uint64_t wakeups = 0;
  for (auto _ : state) {
    const double before = thread_cpu_seconds(watchdog);
    const std::uint64_t wakeups_before = monitor.watchdog_wakeups();
    const auto start = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    wall += std::chrono::duration<double>(Steady::now() - start).count();
    cpu += thread_cpu_seconds(watchdog) - before;
    wakeups += monitor.watchdog_wakeups() - wakeups_before;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
  }
  changed.notify_all();
  task.join();
  monitor.run_pass();
  SetFreezeReportExtras(0);
  SetFreezeStackCaptureEnabled(false);
  core::SetLogSink(nullptr, nullptr);
  quiet_monitor();
  state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
  state.counters["wakeups_per_s"] = static_cast<double>(wakeups) / wall;
}
BENCHMARK(BM_WatchdogWithFrozenTask)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
