// Capturing the stack of another thread while it hangs, through the system's signals or thread
// suspension.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "freezemonitor/stuck_thread.h"
#include "platform/thread_capture.h"

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
// tests.
TEST_F(ThreadCapture, CapturesAreRepeatable) {
  StuckThread first;
  StuckThread second;
  for (int round = 0; round < 20; ++round) {
    ThreadStack stack;
    const ThreadId target = round % 2 == 0 ? first.id() : second.id();
    ASSERT_EQ(capture_thread_stack(target, kGenerousWait, stack), CaptureOutcome::kCaptured);
    EXPECT_GT(stack.count, 1u);
  }
}

TEST(ThreadCaptureOff, NothingIsCapturedUntilEnabled) {
  StuckThread stuck;
  ThreadStack stack;
  EXPECT_EQ(capture_thread_stack(stuck.id(), kShortWait, stack), CaptureOutcome::kNotEnabled);
  EXPECT_STREQ(capture_outcome_text(CaptureOutcome::kNotEnabled), "stack capture is not enabled");
}

#if !defined(_WIN32)
// The wait is bounded; the signal that stays pending reaches the thread once it unblocks it, and
// is then ignored, without disturbing the next capture.
TEST_F(ThreadCapture, ThreadBlockingTheSignalGetsNoAnswerAndLaterCapturesWork) {
  {
    StuckThread blocking(nullptr, default_capture_signal());
    ThreadStack stack;
    EXPECT_EQ(capture_thread_stack(blocking.id(), kShortWait, stack), CaptureOutcome::kNoAnswer);
  }
  StuckThread stuck;
  ThreadStack stack;
  EXPECT_EQ(capture_thread_stack(stuck.id(), kGenerousWait, stack), CaptureOutcome::kCaptured);
}

// Signals that are not capture requests go to the handler the host had installed.
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
}

TEST(ThreadCaptureSignals, SignalOutsideTheRealTimeRangeIsRefused) {
  EXPECT_FALSE(enable_thread_capture(SIGUSR1));
  EXPECT_FALSE(enable_thread_capture(0));
}
#endif

}  // namespace
}  // namespace quillmark::platform
