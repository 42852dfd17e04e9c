// The rule cache and the private unwinder give the frames libgcc's _Unwind_Backtrace gives, in
// stacks of many shapes and on several threads at once.
#include "platform/posix/unwind_capture.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/posix/unwind_rule_cache.h"
#include "split_debug_lib.h"

namespace {

using namespace quillmark::platform::posix;

constexpr std::uint32_t kCapacity = 62;

struct BothTraces {
  std::vector<std::uint64_t> cached_frames = std::vector<std::uint64_t>(kCapacity);
  std::vector<std::uint64_t> private_frames = std::vector<std::uint64_t>(kCapacity);
  std::vector<std::uint64_t> libgcc_frames = std::vector<std::uint64_t>(kCapacity);
  std::vector<std::uint64_t> chosen_frames = std::vector<std::uint64_t>(kCapacity);
  std::uint32_t skip = 0;

  // The unwinders start in this same function, so their traces must be equal entry by entry.
  __attribute__((noinline)) void capture() {
    cached_frames.resize(cached_back_trace(skip, kCapacity, cached_frames.data()));
    private_frames.resize(private_back_trace(skip, kCapacity, private_frames.data()));
    libgcc_frames.resize(libgcc_back_trace(skip, kCapacity, libgcc_frames.data()));
    chosen_frames.resize(unwind_back_trace(skip, kCapacity, chosen_frames.data()));
    asm volatile("" ::: "memory");
  }
};

__attribute__((noinline)) void recurse(int depth, BothTraces& traces) {
  if (depth == 0) {
    traces.capture();
  } else if (depth % 3 == 0) {
    recurse(depth - 2, traces);  // frames of the same function at several depths
  } else {
    recurse(depth - 1, traces);
  }
  asm volatile("" ::: "memory");
}

void capture_from_library(void* traces) { recurse(3, *static_cast<BothTraces*>(traces)); }

BothTraces* g_sorting_traces = nullptr;

// Called by the C library's qsort, so the stack goes through libc's own frames.
int compare_and_capture(const void* a, const void* b) {
  if (g_sorting_traces != nullptr) {
    g_sorting_traces->capture();
    g_sorting_traces = nullptr;
  }
  return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

void expect_same_frames(const BothTraces& traces) {
  EXPECT_FALSE(traces.libgcc_frames.empty());
  EXPECT_EQ(traces.cached_frames, traces.libgcc_frames);
  EXPECT_EQ(traces.chosen_frames, traces.libgcc_frames);
  if (kPrivateUnwinderEnabled) {
    EXPECT_EQ(traces.private_frames, traces.libgcc_frames);
  }
}

class PrivateUnwinder : public ::testing::Test {
 protected:
  void SetUp() override {
    // Opened by the first capture; captures made while another thread opens it use libgcc.
    private_unwinder();
  }
};

TEST_F(PrivateUnwinder, IsAvailable) {
  if (!kPrivateUnwinderEnabled) GTEST_SKIP() << "this build captures with libgcc only";
  // libunwind8 is a dependency of the build machines; without it captures fall back to libgcc.
  EXPECT_NE(private_unwinder(), nullptr);
}

TEST_F(PrivateUnwinder, GivesLibgccsFramesAtAnyDepthAndSkip) {
  for (int depth : {0, 1, 5, 20, 100}) {
    for (std::uint32_t skip : {0u, 1u, 3u}) {
      BothTraces traces;
      traces.skip = skip;
      recurse(depth, traces);
      SCOPED_TRACE(testing::Message() << "depth " << depth << ", skip " << skip);
      expect_same_frames(traces);
      if (depth >= 100) {
        EXPECT_EQ(traces.chosen_frames.size(), kCapacity);
      }
    }
  }
}

TEST_F(PrivateUnwinder, GivesLibgccsFramesThroughSharedLibraries) {
  BothTraces through_library;
  split_debug_outer(capture_from_library, &through_library);
  expect_same_frames(through_library);

  BothTraces through_libc;
  int values[] = {3, 1, 2};
  g_sorting_traces = &through_libc;
  std::qsort(values, 3, sizeof values[0], compare_and_capture);
  expect_same_frames(through_libc);
}

TEST_F(PrivateUnwinder, GivesLibgccsFramesOnSeveralThreadsAtOnce) {
  constexpr int kThreads = 4;
  std::vector<std::vector<BothTraces>> results(kThreads, std::vector<BothTraces>(50));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&results, t] {
      int round = 0;
      for (BothTraces& traces : results[static_cast<std::size_t>(t)]) recurse(round++ % 9, traces);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& per_thread : results) {
    for (const BothTraces& traces : per_thread) expect_same_frames(traces);
  }
}

TEST_F(PrivateUnwinder, RequestsBeyondItsLimitFallBackToLibgcc) {
  std::vector<std::uint64_t> frames(kMaxPrivateFrames);
  EXPECT_EQ(private_back_trace(0, kMaxPrivateFrames, frames.data()), 0u);
  EXPECT_GT(unwind_back_trace(0, kMaxPrivateFrames, frames.data()), 0u);
}

BothTraces* g_signal_traces = nullptr;

void capture_in_handler(int) { recurse(2, *g_signal_traces); }

// The signal trampoline's frame is not of a shape the rule cache keeps: the capture goes to a
// general unwinder, which follows the frame the signal interrupted.
TEST_F(PrivateUnwinder, StacksThroughASignalHandlerGoToAGeneralUnwinder) {
  BothTraces traces;
  g_signal_traces = &traces;
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = capture_in_handler;
  sigaction(SIGUSR2, &action, &previous);
  raise(SIGUSR2);
  sigaction(SIGUSR2, &previous, nullptr);
  EXPECT_TRUE(traces.cached_frames.empty());
  EXPECT_GT(traces.libgcc_frames.size(), 5u);
  EXPECT_EQ(traces.chosen_frames, traces.libgcc_frames);
}

// A second capture of the same stack reads no unwind table. A rule is kept with the code before
// its address: other code at that address (a module loaded where an unloaded one was) finds none.
TEST_F(PrivateUnwinder, RuleCacheServesKnownCodeOnly) {
  UnwindRuleCache& cache = UnwindRuleCache::process_cache();
  BothTraces traces[2];
  std::uint64_t misses = 0;
  for (BothTraces& capture : traces) {
    misses = cache.misses();
    recurse(4, capture);
  }
  EXPECT_EQ(cache.misses(), misses);
  EXPECT_EQ(traces[1].cached_frames, traces[0].cached_frames);

  alignas(8) unsigned char code[16] = {0xe8, 1, 2, 3, 4, 5, 6, 7};
  const auto after_code = reinterpret_cast<std::uintptr_t>(code) + 8;
  misses = cache.misses();
  EXPECT_EQ(cache.rule_at(after_code, true).kind(), CachedRule::kUnsupported);
  EXPECT_EQ(cache.rule_at(after_code, true).kind(), CachedRule::kUnsupported);
  EXPECT_EQ(cache.misses(), misses + 1);
  code[7] = 0x90;
  cache.rule_at(after_code, true);
  EXPECT_EQ(cache.misses(), misses + 2);
}

}  // namespace
