// Reports and site queries of a large registry, on the registry object itself: how long a host
// thread waits while a report is made, how long the report takes, and what grouping by call site
// costs against a plain listing.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <thread>
#include <utility>
#include <vector>

#include "ratio.h"
#include "resmonitor/registry.h"

namespace {

using namespace resmonitor;
using Clock = std::chrono::steady_clock;

// Stands for the exported AddResource, whose frame a recorded stack leaves out.
__attribute__((noinline)) void add_through_export(ResourceMonitor& monitor, void* obj) {
  monitor.AddResource(obj < reinterpret_cast<void*>(0x80000000) ? "Texture" : "Decoder", obj);
  asm volatile("" ::: "memory");
}

// One call site of host code per instantiation.
template <int Site>
__attribute__((noinline)) void register_at_site(ResourceMonitor& monitor, void* obj) {
  add_through_export(monitor, obj);
  asm volatile("" ::: "memory");
}

using SiteFunction = void (*)(ResourceMonitor&, void*);

template <std::size_t... Sites>
std::vector<SiteFunction> sites_of(std::index_sequence<Sites...>) {
  return {&register_at_site<static_cast<int>(Sites)>...};
}

const std::vector<SiteFunction>& call_sites() {
  static const std::vector<SiteFunction> sites = sites_of(std::make_index_sequence<1000>());
  return sites;
}

void* object(std::size_t i) { return reinterpret_cast<void*>((i + 1) * 0x40); }

// `entries` registrations spread evenly over the first `sites` call sites.
void fill(ResourceMonitor& monitor, std::size_t entries, std::size_t sites) {
  for (std::size_t i = 0; i < entries; ++i) call_sites()[i % sites](monitor, object(i));
}

// How often the scheduler has taken the calling thread off its processor for another thread.
long involuntary_switches() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nivcsw;
}

double milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

// The detailed report of 100,000 resources from 500 sites (warm), while a host thread keeps
// registering a pair that is registered already. The report's text (about 150 MB) is freed after
// the host thread stops: giving that much memory back to the system takes the process's memory
// map lock, which the host thread's unwinder waits for too (up to about 1 ms more here).
// "worst_wait_ms" is that thread's longest call, "report_ms" the report's time (the time from the
// end of the quiet period to the log call), and "wait_ratio" the first over the second.
// "worst_unpreempted_ms" is the longest call during which the scheduler did not take the host
// thread off its processor for another thread (waits for the library's locks, not for a core).
void BM_Report100kFrom500SitesWithHostThread(benchmark::State& state) {
  ResourceMonitor monitor;
  monitor.SetMonitorInfoLevel(MonitorInfoStack);
  fill(monitor, 100000, 500);
  monitor.SetMonitorInfoLevel(static_cast<MonitorInfoLevel>(MonitorInfoStack | MonitorInfoDetail));
  // Warm: every stack resolved, and frames without symbols looked up the second time that makes
  // them final.
  for (int round = 0; round < 2; ++round) benchmark::DoNotOptimize(monitor.build_report());

  Clock::duration worst{};
  Clock::duration worst_running{};
  Clock::duration report{};
  for (auto _ : state) {
    std::atomic<bool> warm{false};
    std::atomic<bool> reporting{true};
    Clock::duration round_worst{};
    Clock::duration round_worst_running{};
    std::thread host([&] {
      // A new thread's first registrations set up its unwinder cache; they are not the waits
      // measured here.
      for (int i = 0; i < 100; ++i) monitor.AddResource("Texture", object(0));
      warm.store(true);
      while (reporting.load(std::memory_order_relaxed)) {
        const long switched_before = involuntary_switches();
        const auto before = Clock::now();
        monitor.AddResource("Texture", object(0));
        const auto took = Clock::now() - before;
        round_worst = std::max(round_worst, took);
        if (involuntary_switches() == switched_before) {
          round_worst_running = std::max(round_worst_running, took);
        }
      }
    });
    while (!warm.load()) std::this_thread::yield();
    const auto before = Clock::now();
    std::string text = monitor.build_report();
    report += Clock::now() - before;
    reporting.store(false);
    host.join();
    benchmark::DoNotOptimize(text);
    worst = std::max(worst, round_worst);
    worst_running = std::max(worst_running, round_worst_running);
  }
  state.counters["worst_wait_ms"] = milliseconds(worst);
  state.counters["worst_unpreempted_ms"] = milliseconds(worst_running);
  state.counters["report_ms"] = milliseconds(report) / static_cast<double>(state.iterations());
  state.counters["wait_ratio"] =
      milliseconds(worst) / (milliseconds(report) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_Report100kFrom500SitesWithHostThread)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// GetResourceSites of 100,000 resources from 1,000 sites (warm) against GetAllResource of a
// registry of the same objects without stacks.
void BM_Sites100kFrom1000VsGetAllWithoutStacks(benchmark::State& state) {
  ResourceMonitor with_stacks;
  with_stacks.SetMonitorInfoLevel(MonitorInfoStack);
  fill(with_stacks, 100000, 1000);
  ResourceMonitor without_stacks;
  without_stacks.SetMonitorInfoLevel(static_cast<MonitorInfoLevel>(8));
  fill(without_stacks, 100000, 1000);
  {
    std::list<ResourceSiteInfo> warm;
    with_stacks.GetResourceSites(warm);
  }
  quillmark::bench::measure_ratio(
      state, 1,
      [&](std::size_t) {
        std::list<ResMonitorInfo> listed;
        without_stacks.GetAllResource(listed);
        benchmark::DoNotOptimize(listed.size());
      },
      [&](std::size_t) {
        std::list<ResourceSiteInfo> sites;
        with_stacks.GetResourceSites(sites);
        benchmark::DoNotOptimize(sites.size());
      });
}
BENCHMARK(BM_Sites100kFrom1000VsGetAllWithoutStacks)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace
