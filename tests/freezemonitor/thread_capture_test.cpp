// Capturing the stack of another thread while it hangs, through the system's signals or thread
// suspension.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "callstack/thread_stack_text.h"
#include "freezemonitor/stuck_thread.h"
#include "platform/thread_capture.h"

#if !defined(_WIN32)
#include <poll.h>
#include <unistd.h>
#include <unwind.h>

#include <cstdlib>
#include <string>

#include "platform/posix/blocked_thread.h"
#include "platform/posix/stack_walk.h"
#endif

namespace quillmark::platform {
namespace {

// A bound that only a broken capture reaches; no assertion depends on how fast it answers.
constexpr std::chrono::milliseconds kGenerousWait{5000};
constexpr std::chrono::milliseconds kShortWait{50};

using quillmark::testing::StuckThread;

class ThreadCapture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(enable_thread_capture(default_capture_signal())); }
  void TearDown() override { disable_thread_capture(); }
};

// What a capture shows, and a thread that ended, are checked end to end in the frozen-stack
// tests. A waiting and a running thread are captured in turn.
TEST_F(ThreadCapture, CapturesAreRepeatable) {
  StuckThread first;
  StuckThread second(nullptr, 0, StuckThread::Hang::kSpinning);
  for (int round = 0; round < 20; ++round) {
    ThreadStack stack;
    const ThreadId target = round % 2 == 0 ? first.id() : second.id();
    ASSERT_EQ(capture_thread_stack(target, kGenerousWait, stack), CaptureOutcome::kCaptured);
    EXPECT_GT(stack.count, 1u);
  }
}

__attribute__((noinline)) int leaf_function(int value) { return value * 3 + 1; }
// Not a leaf: Windows keeps unwind entries only for functions that need them.
__attribute__((noinline)) int some_function(int value) { return leaf_function(value) + 1; }

// Sampled stacks are grouped by the function their innermost frame stands in.
TEST(FunctionStart, PlacesInOneFunctionShareItsStart) {
  const auto start = reinterpret_cast<std::uint64_t>(&some_function);
  EXPECT_EQ(function_start(start), start);
  EXPECT_EQ(function_start(start + 5), start);
  EXPECT_NE(function_start(reinterpret_cast<std::uint64_t>(&current_thread_id)), start);
  EXPECT_EQ(function_start(16), 16u);  // no module there: the address itself
}

TEST(ThreadCaptureOff, NothingIsCapturedUntilEnabled) {
  StuckThread stuck;
  ThreadStack stack;
  EXPECT_EQ(capture_thread_stack(stuck.id(), kShortWait, stack), CaptureOutcome::kNotEnabled);
}

#if !defined(_WIN32)
// Signals that are not capture requests go to the handler the host had installed; signals outside
// the real-time range are refused.
std::atomic<int> g_host_signals{0};
void host_handler(int) { ++g_host_signals; }

TEST(ThreadCaptureSignals, OtherSignalsReachTheHostsHandlerAndItComesBack) {
  const int signal_number = default_capture_signal();
  struct sigaction host {};
  host.sa_handler = &host_handler;
  sigemptyset(&host.sa_mask);
  struct sigaction before {};
  ASSERT_EQ(sigaction(signal_number, &host, &before), 0);

  ASSERT_TRUE(enable_thread_capture(signal_number));
  raise(signal_number);
  EXPECT_EQ(g_host_signals.load(), 1);
  disable_thread_capture();

  struct sigaction now {};
  sigaction(signal_number, nullptr, &now);
  EXPECT_EQ(now.sa_handler, &host_handler);
  sigaction(signal_number, &before, nullptr);

  EXPECT_FALSE(enable_thread_capture(SIGUSR1));
  EXPECT_FALSE(enable_thread_capture(0));
}

// Threads waiting in sleep() and poll() are captured again and again without a signal: each call
// lasts its whole second and reports no interruption, and each stack names the caller.
__attribute__((noinline)) void sleeping_caller(std::atomic<int>& result) { result = sleep(1); }
__attribute__((noinline)) void polling_caller(std::atomic<int>& result) {
  result = poll(nullptr, 0, 1000);
}

struct TimedCall {
  explicit TimedCall(void (*call)(std::atomic<int>&))
      : thread([this, call] {
          id = current_thread_id();
          const auto start = std::chrono::steady_clock::now();
          call(result);
          took = std::chrono::steady_clock::now() - start;
        }) {}
  // Until the kernel shows the thread waiting.
  void wait_until_waiting() const {
    posix::BlockedRegisters ignored;
    while (id.load() == 0 || posix::read_thread_state(static_cast<pid_t>(id.load()), ignored) !=
                                 posix::ThreadState::kBlocked) {
      std::this_thread::yield();
    }
  }
  std::atomic<ThreadId> id{0};
  std::atomic<int> result{-2};
  std::chrono::steady_clock::duration took{};
  std::thread thread;
};

TEST_F(ThreadCapture, WaitingThreadsAreNotInterrupted) {
  TimedCall sleeping(&sleeping_caller);
  TimedCall polling(&polling_caller);
  sleeping.wait_until_waiting();
  polling.wait_until_waiting();
  for (int round = 0; round < 10; ++round) {
    for (const TimedCall* call : {&sleeping, &polling}) {
      ThreadStack stack;
      ASSERT_EQ(capture_thread_stack(call->id, kGenerousWait, stack), CaptureOutcome::kCaptured);
      EXPECT_EQ(stack.note, nullptr);
      const std::string text = resmonitor::describe_thread_stack(stack.frames, stack.count, 10);
      EXPECT_NE(text.find(call == &sleeping ? "sleeping_caller(" : "polling_caller("),
                std::string::npos)
          << text;
    }
  }
  sleeping.thread.join();
  polling.thread.join();
  EXPECT_EQ(sleeping.result.load(), 0);  // the seconds left: none
  EXPECT_EQ(polling.result.load(), 0);   // timed out, not EINTR
  EXPECT_GE(sleeping.took, std::chrono::seconds(1));
  EXPECT_GE(polling.took, std::chrono::seconds(1));
}

// The walk from outside finds the same callers as the unwinder that runs on the thread itself:
// through this test's own frames (frame-pointer code at -O0, where the walk has to find the frame
// pointer on the stack) and through the C library's qsort calling back.
_Unwind_Reason_Code note_frame(_Unwind_Context* context, void* argument) {
  auto* stack = static_cast<ThreadStack*>(argument);
  const auto pc = _Unwind_GetIP(context);
  if (pc == 0 || stack->count == ThreadStack::kMaxFrames) return _URC_END_OF_STACK;
  stack->frames[stack->count++] = pc;
  return _URC_NO_REASON;
}

struct WalkComparison {
  ThreadStack walked;
  ThreadStack unwound;
  const char* note = "not walked";
};
WalkComparison* g_comparison = nullptr;

__attribute__((noinline)) void compare_here() {
  std::uint64_t sp = 0;
  std::uint64_t pc = 0;
  asm volatile("lea 0(%%rip), %0\n\tmov %%rsp, %1" : "=r"(pc), "=r"(sp));
  g_comparison->note = posix::walk_stack(sp, pc, g_comparison->walked);
  _Unwind_Backtrace(&note_frame, &g_comparison->unwound);
}

int compare_in_callback(const void* left, const void* right) {
  static bool compared = false;
  if (!compared) {
    compared = true;
    compare_here();
  }
  return *static_cast<const int*>(left) - *static_cast<const int*>(right);
}

__attribute__((noinline)) void nested_caller(int depth) {
  if (depth > 0) return nested_caller(depth - 1);
  int values[] = {3, 1, 2};
  qsort(values, 3, sizeof(int), &compare_in_callback);
}

TEST(StackWalk, FindsTheCallersTheThreadsOwnUnwinderFinds) {
  WalkComparison comparison;
  g_comparison = &comparison;
  std::thread([] { nested_caller(4); }).join();
  EXPECT_EQ(comparison.note, nullptr) << comparison.note;
  ASSERT_GT(comparison.unwound.count, 8u);
  ASSERT_EQ(comparison.walked.count, comparison.unwound.count);
  // Frame 0: where each started, both inside compare_here.
  for (std::uint32_t i = 1; i < comparison.walked.count; ++i) {
    EXPECT_EQ(comparison.walked.frames[i], comparison.unwound.frames[i]) << "frame " << i;
  }
}

#endif

}  // namespace
}  // namespace quillmark::platform
