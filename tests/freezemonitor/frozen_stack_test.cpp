// Freeze reports with the stack of the frozen thread: the extra record after the freezed line,
// and the reasons it gives when there is no stack. The clock is moved by hand, as in the watchdog
// tests; the task threads and their stacks are real.
#include <quillmark/freeze_monitor.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "callstack/call_stack.h"
#include "freezemonitor/event_recorder.h"
#include "freezemonitor/hand_clock.h"
#include "freezemonitor/stuck_thread.h"

namespace freezemonitor {
namespace {

using quillmark::testing::CapturedLine;
using quillmark::testing::EventRecorder;
using quillmark::testing::StuckThread;

std::string stack_head(quillmark::platform::ThreadId thread) {
  return "frozen thread " + std::to_string(thread) + " (task running for 5000 ms) stack";
}

class FrozenStack : public testing::HandClockTest {
 protected:
  void SetUp() override {
    HandClockTest::SetUp();
    ASSERT_TRUE(SetFreezeStackCaptureEnabled(true));
  }
  void TearDown() override {
    SetFreezeStackCaptureEnabled(false);
    HandClockTest::TearDown();
  }

  void advance_to_freeze() { advance_ms(5000); }

  static std::string freezed_line(const std::string& url) {
    return HandClockTest::freezed_line("EffectRender", url, 1);
  }

  // The task's tracer, created on the task's own thread.
  std::function<void()> trace_on_thread(const std::string& url,
                                        std::shared_ptr<EffectRenderTracer>& tracer) {
    return [this, url, &tracer] { tracer = monitor_.CreateEffectRenderTracer(url, 1); };
  }

  // The record logged right after the freezed line of `url`, or an empty text.
  std::string record_after_freeze(const std::string& url) const {
    const auto lines = log_.lines();
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      if (lines[i].text == freezed_line(url)) return lines[i + 1].text;
    }
    return std::string();
  }
};

// The tasks wait in the kernel: Linux walks their stacks from outside, Windows suspends them.
// Several freeze in the same pass: each freezed line is followed by its own thread's stack.
TEST_F(FrozenStack, RecordAfterTheFreezedLineNamesTheFunctionTheTaskIsStuckIn) {
  constexpr int kTasks = 3;
  EventRecorder events;
  std::vector<std::shared_ptr<EffectRenderTracer>> tracers(kTasks);
  std::vector<std::unique_ptr<StuckThread>> tasks;
  for (int i = 0; i < kTasks; ++i) {
    tasks.push_back(std::make_unique<StuckThread>(
        trace_on_thread(url("task") + std::to_string(i), tracers[i])));
  }
  advance_to_freeze();
  ASSERT_TRUE(log_.wait_for_text("frozen thread", kTasks));

  for (int i = 0; i < kTasks; ++i) {
    const std::string task_url = url("task") + std::to_string(i);
    const std::string record = record_after_freeze(task_url);
    EXPECT_EQ(record.rfind(stack_head(tasks[i]->id()) + ":\n", 0), 0u) << record;
    EXPECT_NE(record.find("!quillmark::testing::StuckThread::stuck_in_decoder()"),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("stuck_thread.h ("), std::string::npos) << record;
    EXPECT_EQ(record.find("(note: "), std::string::npos) << record;  // a whole stack
    // A header, then at most 10 frames, each preceded by the calls inlined into it.
    constexpr long kMostLines = 1 + 10 * (1 + CallStack::kMaxInlinedCalls);
    EXPECT_LE(std::count(record.begin(), record.end(), '\n'), kMostLines) << record;
    for (const CapturedLine& line : log_.lines()) {
      if (line.text == record) {
        EXPECT_EQ(line.level, 6);
        EXPECT_EQ(line.logger, "ZOR");
        EXPECT_EQ(line.module, "FreezeMonitor");
      }
    }
    // The freezed line and the event are what they are without capture.
    const auto posted = events.wait_for(task_url, 1);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].kind, 1);
    EXPECT_TRUE(posted[0].use_gpu);
    EXPECT_EQ(posted[0].event_type, EffectRender);
  }
}

// A FreezeEvent listener reads the stack of the freeze it handles: the entry and its stack are in
// place before the event is posted.
TEST_F(FrozenStack, ListenerFindsTheStackOfTheFreezeItHandles) {
  // The newest freeze with the event's identifiers is the one the event reports.
  std::vector<testing::FreezeCopy> found;  // written on delivery, read once the event is kept
  EventRecorder events([&](const FreezeEvent& event) {
    for (const testing::FreezeCopy& recent : testing::recent_freezes()) {
      if (recent.freeze.event_type == event.event_type && recent.freeze.param1 == event.param1 &&
          recent.freeze.param2 == event.param2 && recent.url == event.url) {
        found.push_back(recent);
        break;
      }
    }
  });
  std::shared_ptr<EffectRenderTracer> tracer;
  StuckThread task(trace_on_thread(url("listened"), tracer));
  advance_to_freeze();
  ASSERT_EQ(events.wait_for(url("listened"), 1).size(), 1u);

  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].freeze.thread_id, task.id());
  EXPECT_EQ(found[0].stack, record_after_freeze(url("listened")));
  EXPECT_EQ(found[0].stack.rfind(stack_head(task.id()) + ":\n", 0), 0u) << found[0].stack;
  EXPECT_NE(found[0].stack.find("stuck_in_decoder()"), std::string::npos) << found[0].stack;
}

TEST_F(FrozenStack, ThreadThatEndedGivesStackUnavailable) {
  std::shared_ptr<EffectRenderTracer> tracer;
  std::atomic<quillmark::platform::ThreadId> creator{0};
  std::thread([&] {
    creator = quillmark::platform::current_thread_id();
    tracer = monitor_.CreateEffectRenderTracer(url("gone"), 1);
  }).join();
  advance_to_freeze();
  ASSERT_TRUE(log_.wait_for_text(stack_head(creator) + " unavailable: the thread has exited"));
}

#if !defined(_WIN32)
// The wait is bounded; the request left pending reaches the thread once it unblocks the signal,
// and is ignored there, without disturbing the next capture.
TEST_F(FrozenStack, ThreadBlockingTheSignalGivesStackUnavailableAndGoesOn) {
  std::shared_ptr<EffectRenderTracer> tracer;
  {
    StuckThread task(trace_on_thread(url("blocked"), tracer),
                     quillmark::platform::default_capture_signal(), StuckThread::Hang::kSpinning);
    advance_to_freeze();
    ASSERT_TRUE(log_.wait_for_text(stack_head(task.id()) +
                                   " unavailable: the thread did not answer in time"));
    EXPECT_EQ(record_after_freeze(url("blocked")).rfind(stack_head(task.id()), 0), 0u);
  }
  std::shared_ptr<EffectRenderTracer> next;
  StuckThread later(trace_on_thread(url("next"), next));
  advance_to_freeze();
  ASSERT_TRUE(log_.wait_for_text(stack_head(later.id()) + ":\n"));
}

// A signal number that cannot be used is passed over for the default with one warning; capture
// still comes on. A usable one is taken without a word.
TEST(FrozenStackSignal, UnusableVariableGivesOneWarning) {
  const std::string warning = "WARNING: Quillmark: QUILLMARK_FREEZE_STACK_SIGNAL=";
  for (const std::string value : {"9", "abc", "999", "-3", "", "40"}) {
    setenv("QUILLMARK_FREEZE_STACK_SIGNAL", value.c_str(), 1);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(SetFreezeStackCaptureEnabled(true)) << value;
    const std::string out = ::testing::internal::GetCapturedStderr();
    SetFreezeStackCaptureEnabled(false);
    if (value == "40") {
      EXPECT_EQ(out.find(warning), std::string::npos) << out;
      continue;
    }
    EXPECT_EQ(out.find(warning), out.rfind(warning)) << out;
    EXPECT_NE(out.find(warning + "\"" + value + "\" is not a real-time signal number (" +
                       std::to_string(SIGRTMIN) + " to " + std::to_string(SIGRTMAX) +
                       "); freeze stacks use signal " + std::to_string(SIGRTMAX - 3) + ".\n"),
              std::string::npos)
        << out;
  }
  unsetenv("QUILLMARK_FREEZE_STACK_SIGNAL");
}
#endif

class SampledStacks : public FrozenStack {
 protected:
  void SetUp() override {
    FrozenStack::SetUp();
    ASSERT_EQ(SetFreezeReportExtras(kQuillmarkFreezeSampledStacks), kQuillmarkFreezeSampledStacks);
  }
  void TearDown() override {
    SetFreezeStackSampling(250, 40);
    FrozenStack::TearDown();
  }
  // Moves the clock one interval on and waits for the pass that samples.
  void next_sample() {
    advance_ms(250);
    settle();
  }
  std::string samples_record() const {
    for (const CapturedLine& line : log_.lines()) {
      if (line.text.rfind("stack samples of frozen thread", 0) == 0) return line.text;
    }
    return std::string();
  }
};

// 8 of 10 samples in one function, 2 in another: the record lists the first with 80 %, then the
// second, once the task ends; the recent freezes keep it too.
TEST_F(SampledStacks, RecordSharesTheSamplesOutByPlace) {
  std::shared_ptr<EffectRenderTracer> tracer;
  StuckThread task(trace_on_thread(url("sampled"), tracer));
  advance_to_freeze();
  ASSERT_TRUE(log_.wait_for_text(freezed_line(url("sampled"))));
  ASSERT_TRUE(monitor_.run_pass());  // the first sample is taken with the freeze
  for (int sample = 2; sample <= 8; ++sample) next_sample();
  task.move_on();
  next_sample();
  next_sample();
  tracer.reset();
  ASSERT_TRUE(log_.wait_for_text("stack samples of frozen thread"));

  const std::string record = samples_record();
  EXPECT_EQ(record.rfind("stack samples of frozen thread " + std::to_string(task.id()) +
                             ", every 250 ms, task ended after 7250 ms: 10 samples, ",
                         0),
            0u)
      << record;
  EXPECT_NE(record.find("event type is EffectRender, url: " + url("sampled") + ", use_gpu: 1."),
            std::string::npos);
  const std::size_t first = record.find("\n  80% (8 of 10):\n");
  const std::size_t in_first = record.find("StuckThread::stuck_in_decoder()");
  const std::size_t in_second = record.find("StuckThread::stuck_in_encoder()");
  ASSERT_NE(first, std::string::npos) << record;
  EXPECT_LT(first, in_first) << record;
  EXPECT_LT(in_first, in_second) << record;
  EXPECT_NE(in_second, std::string::npos) << record;

  EXPECT_EQ(testing::recent_freezes().at(0).samples, record);
}

// At the bound sampling stops with the record, while the task still runs; a release later adds
// nothing. Intervals and bounds out of range are refused.
TEST_F(SampledStacks, BoundEndsTheSamplingEarly) {
  EXPECT_FALSE(SetFreezeStackSampling(9, 40));
  EXPECT_FALSE(SetFreezeStackSampling(250, 0));
  EXPECT_FALSE(SetFreezeStackSampling(250, 1001));
  ASSERT_TRUE(SetFreezeStackSampling(250, 3));
  std::shared_ptr<EffectRenderTracer> tracer;
  StuckThread task(trace_on_thread(url("bounded"), tracer));
  advance_to_freeze();
  ASSERT_TRUE(log_.wait_for_text(freezed_line(url("bounded"))));
  ASSERT_TRUE(monitor_.run_pass());
  next_sample();
  next_sample();
  const std::string record = samples_record();
  EXPECT_NE(record.find(", task still running after 5500 ms: 3 samples, 1 distinct."),
            std::string::npos)
      << record;
  EXPECT_NE(record.find("\n  100% (3 of 3):\n"), std::string::npos) << record;
  EXPECT_NE(record.find("stuck_in_decoder()"), std::string::npos) << record;
  task.release();
  tracer.reset();
  next_sample();
  EXPECT_EQ(log_.count_containing("stack samples of frozen thread"), 1);
}

}  // namespace
}  // namespace freezemonitor
