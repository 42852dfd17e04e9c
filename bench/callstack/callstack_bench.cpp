// Cost of recording a stack (on every registration) and of turning one into text (on a query or
// a leak report), with the operating system's unwinder and symbol handler.
#include <benchmark/benchmark.h>

#include <memory>

#include "callstack/call_stack.h"
#include "callstack/cstack_info.h"
#include "callstack/describe_stack.h"
#include "callstack/describe_stack_testing.h"
#include "callstack/symbol_handler.h"

namespace {

// Deep enough that every capture finds the 14 frames it asks for.
constexpr int kNesting = 16;

__attribute__((noinline)) void registry_add(resmonitor::CStackInfo& info, void* ptr) {
  resmonitor::record_stack(info, ptr, "Texture", StackContext{QUILLMARK_RETURN_ADDRESS()});
  asm volatile("" ::: "memory");
}

template <typename Work>
__attribute__((noinline)) void nested(int depth, const Work& work) {
  if (depth == 0) {
    work();
  } else {
    nested(depth - 1, work);
  }
  asm volatile("" ::: "memory");
}

// A record started like a resource group's, holding one recorded 12-frame stack for `ptr`.
std::shared_ptr<resmonitor::CStackInfo> recorded_group(void* ptr) {
  auto info = std::make_shared<resmonitor::CStackInfo>();
  resmonitor::init_symbol_handler(*info);
  nested(kNesting, [&] { registry_add(*info, ptr); });
  return info;
}

void BM_Capture14Frames(benchmark::State& state) {
  nested(kNesting, [&] {
    for (auto _ : state) {
      std::unique_ptr<CallStack> stack(create_fast_call_stack());
      StackContext context{0};
      stack->capture(4, 0, context);
      benchmark::DoNotOptimize(stack->size());
      if (stack->size() != 14) state.SkipWithError("the capture did not find 14 frames");
    }
  });
}
BENCHMARK(BM_Capture14Frames);

// The first description in the process: module symbols are loaded and debug information read.
void BM_FirstResolution12Frames(benchmark::State& state) {
  int resource = 0;
  for (auto _ : state) {
    state.PauseTiming();
    resmonitor::stack_testing::forget_loaded_modules();
    const auto info = recorded_group(&resource);
    state.ResumeTiming();
    benchmark::DoNotOptimize(resmonitor::describe_stack(*info, &resource));
  }
  state.counters["frames_shown"] = 10;
}
BENCHMARK(BM_FirstResolution12Frames)->Iterations(1)->Unit(benchmark::kMillisecond);

// Later descriptions: a new stack each time, symbols and debug information already at hand.
void BM_WarmResolution12Frames(benchmark::State& state) {
  int resource = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const auto info = recorded_group(&resource);
    state.ResumeTiming();
    benchmark::DoNotOptimize(resmonitor::describe_stack(*info, &resource));
  }
  state.counters["per_frame"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 10,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WarmResolution12Frames)->Unit(benchmark::kMicrosecond);

}  // namespace
