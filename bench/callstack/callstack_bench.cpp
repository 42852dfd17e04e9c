// Cost of recording a stack (on every registration) and of turning one into text (on a query or
// a leak report), with the operating system's unwinder and symbol handler.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <execinfo.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/callstack/nested_calls.h"
#include "callstack/call_stack.h"
#include "callstack/cstack_info.h"
#include "callstack/describe_stack.h"
#include "callstack/describe_stack_testing.h"
#include "callstack/frame_modules.h"
#include "callstack/symbol_handler.h"
#include "ratio.h"

namespace quillmark::bench {
// bench/callstack/libbacktrace_baseline.cpp, when Boost.Stacktrace is installed.
std::string libbacktrace_text(void* const* frames, std::size_t count);
}  // namespace quillmark::bench

namespace {

// Deep enough that every capture finds the 14 frames it asks for.
constexpr int kNesting = 16;

using quillmark::bench::nested;
using quillmark::bench::registry_add;

// A record started like a resource group's, holding one recorded 12-frame stack for `ptr`.
std::shared_ptr<resmonitor::CStackInfo> recorded_group(void* ptr) {
  auto info = std::make_shared<resmonitor::CStackInfo>();
  resmonitor::init_symbol_handler(*info);
  nested(kNesting, [&] { registry_add(*info, ptr); });
  return info;
}

// The capture of a registration's 14 frames against glibc backtrace() of the same frames.
void BM_Capture14FramesVsBacktrace(benchmark::State& state) {
  void* frames[14];
  nested(kNesting, [&] {
    quillmark::bench::measure_ratio(
        state, 2000,
        [&](std::size_t) {
          benchmark::DoNotOptimize(backtrace(frames, 14));
          benchmark::ClobberMemory();
        },
        [&](std::size_t) {
          std::unique_ptr<CallStack> stack(create_fast_call_stack());
          StackContext context{0};
          stack->capture(4, 0, context);
          benchmark::DoNotOptimize(stack->size());
        });
  });
}
BENCHMARK(BM_Capture14FramesVsBacktrace)->Unit(benchmark::kMillisecond);

// What a new distinct stack pays on top of its capture: the modules of its 12 frames, looked up
// and shared with the stacks before it, against glibc backtrace() of 14 frames. A repeated call
// site finds its stack pooled and pays nothing of this.
void BM_FrameModulesOfNewStackVsBacktrace(benchmark::State& state) {
  void* frames[14];
  nested(kNesting, [&] {
    CapturedFrames captured;
    capture_frames(4, 0, StackContext{0}, captured);
    const resmonitor::FrameModule* recorded[CapturedFrames::kCapacity];
    quillmark::bench::measure_ratio(
        state, 2000,
        [&](std::size_t) {
          benchmark::DoNotOptimize(backtrace(frames, 14));
          benchmark::ClobberMemory();
        },
        [&](std::size_t) {
          resmonitor::record_frame_modules(captured.frames, CallStack::kHiddenFrames,
                                           captured.count, recorded);
          resmonitor::release_frame_modules(recorded, captured.count);
        });
  });
}
BENCHMARK(BM_FrameModulesOfNewStackVsBacktrace)->Unit(benchmark::kMillisecond);

// A measurement for choosing a faster Linux capture: libunwind's unw_backtrace, opened privately
// (RTLD_LOCAL, so its own _Unwind_* never replace the host's) with its per-thread cache, against
// glibc backtrace() of the same 14 frames. Skipped where libunwind.so.8 is not installed.
void BM_LibunwindDlopenVsBacktrace(benchmark::State& state) {
  void* library = dlopen("libunwind.so.8", RTLD_NOW | RTLD_LOCAL);
  using Backtrace = int (*)(void**, int);
  using SetCaching = int (*)(void*, int);
  auto* unw_backtrace =
      library ? reinterpret_cast<Backtrace>(dlsym(library, "unw_backtrace")) : nullptr;
  auto* set_caching =
      library ? reinterpret_cast<SetCaching>(dlsym(library, "_ULx86_64_set_caching_policy"))
              : nullptr;
  void* address_space = library ? dlsym(library, "_ULx86_64_local_addr_space") : nullptr;
  if (unw_backtrace == nullptr || set_caching == nullptr || address_space == nullptr) {
    state.SkipWithError("libunwind.so.8 is not available");
    return;
  }
  constexpr int kPerThreadCache = 2;  // UNW_CACHE_PER_THREAD
  if (std::getenv("QM_BENCH_GLOBAL_CACHE") == nullptr) {
    set_caching(*static_cast<void**>(address_space), kPerThreadCache);
  }
  void* frames[14];
  int same = 1;
  nested(kNesting, [&] {
    void* reference[14];
    const int expected = backtrace(reference, 14);
    const int got = unw_backtrace(frames, 14);
    // Both start at the function that called them: the same frames from here on.
    same = got == expected && std::equal(frames + 1, frames + got, reference + 1) ? 1 : 0;
    quillmark::bench::measure_ratio(
        state, 2000,
        [&](std::size_t) {
          benchmark::DoNotOptimize(backtrace(frames, 14));
          benchmark::ClobberMemory();
        },
        [&](std::size_t) {
          benchmark::DoNotOptimize(unw_backtrace(frames, 14));
          benchmark::ClobberMemory();
        });
  });
  state.counters["same_frames"] = same;
}
BENCHMARK(BM_LibunwindDlopenVsBacktrace)->Unit(benchmark::kMillisecond);

// Milliseconds of the first description in a process that has recorded one stack.
double first_resolution_ms() {
  int resource = 0;
  const auto info = recorded_group(&resource);
  const auto start = std::chrono::steady_clock::now();
  benchmark::DoNotOptimize(resmonitor::describe_stack(*info, &resource));
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// The same, measured in a child process forked for it: module symbols and debug information are
// read as they are the first time in a host, which a repetition in this process would reuse.
double first_resolution_ms_in_child() {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_ends[0]);
    const double ms = first_resolution_ms();
    const bool written = write(pipe_ends[1], &ms, sizeof ms) == sizeof ms;
    _exit(written ? 0 : 1);
  }
  close(pipe_ends[1]);
  double ms = -1;
  if (child < 0 || read(pipe_ends[0], &ms, sizeof ms) != sizeof ms) ms = -1;
  close(pipe_ends[0]);
  if (child > 0) waitpid(child, nullptr, 0);
  return ms;
}

void BM_FirstResolution12Frames(benchmark::State& state) {
  for (auto _ : state) {
    const double ms = first_resolution_ms_in_child();
    if (ms < 0) {
      state.SkipWithError("the child process failed");
      break;
    }
    state.SetIterationTime(ms / 1000);
  }
  state.counters["frames_shown"] = 10;
}
BENCHMARK(BM_FirstResolution12Frames)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Later descriptions of new stacks recorded at a known site (symbols, debug information and the
// lines of their frames already at hand) against a baseline, `baseline_text(frames, count)`,
// that turns the same 12 frames into text its own way.
template <typename Baseline>
void warm_resolution_ratio(benchmark::State& state, const Baseline& baseline_text) {
  constexpr std::size_t kBatch = 50;
  int resource = 0;
  void* frames[12];
  int captured = 0;
  nested(kNesting, [&] { captured = backtrace(frames, 12); });
  // The first resolutions of both, which load symbols and debug information.
  resmonitor::describe_stack(*recorded_group(&resource), &resource);
  baseline_text(frames, captured);
  double baseline = 0;
  double candidate = 0;
  for (auto _ : state) {
    std::vector<std::shared_ptr<resmonitor::CStackInfo>> groups;
    for (std::size_t i = 0; i < kBatch; ++i) groups.push_back(recorded_group(&resource));
    baseline += quillmark::bench::seconds_for(
        kBatch, [&](std::size_t) { baseline_text(frames, captured); });
    candidate += quillmark::bench::seconds_for(kBatch, [&](std::size_t i) {
      benchmark::DoNotOptimize(resmonitor::describe_stack(*groups[i], &resource));
    });
  }
  quillmark::bench::report_ratio(state, baseline, candidate,
                                 static_cast<double>(state.iterations() * kBatch));
}

// Against glibc's backtrace_symbols: names without files or lines.
void BM_WarmResolution12FramesVsBacktraceSymbols(benchmark::State& state) {
  warm_resolution_ratio(state, [](void* const* frames, int count) {
    char** symbols = backtrace_symbols(frames, count);
    benchmark::DoNotOptimize(symbols);
    std::free(symbols);
  });
}
BENCHMARK(BM_WarmResolution12FramesVsBacktraceSymbols)->Unit(benchmark::kMillisecond);

#if QUILLMARK_BENCH_LIBBACKTRACE
// Against Boost.Stacktrace's to_string with libbacktrace: function, file and line, its look-ups
// cached after the first one too.
void BM_WarmResolution12FramesVsLibbacktrace(benchmark::State& state) {
  warm_resolution_ratio(state, [](void* const* frames, int count) {
    benchmark::DoNotOptimize(
        quillmark::bench::libbacktrace_text(frames, static_cast<std::size_t>(count)));
  });
}
BENCHMARK(BM_WarmResolution12FramesVsLibbacktrace)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
