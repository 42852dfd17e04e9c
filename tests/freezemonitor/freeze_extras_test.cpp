// The opt-in extras of freeze reports: the recovery record, the statistics and the recent
// freezes, on the process's watchdog with a clock moved by hand.
#include <quillmark/freeze_monitor.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "freezemonitor/hand_clock.h"
#include "freezemonitor/task_statistics.h"

namespace freezemonitor {
namespace {

using testing::recent_freezes;

class FreezeExtras : public testing::HandClockTest {
 protected:
  // Moves the hand clock and waits for a pass that saw it.
  void advance_ms(std::int64_t ms) {
    HandClockTest::advance_ms(ms);
    settle();
  }
};

// A task frozen at 5 s and released at 7.3 s gets one recovery record, logged by the watchdog
// rather than the releasing thread; a task that only timed out gets none.
TEST_F(FreezeExtras, RecoveryRecordOfAFrozenTaskThatEnds) {
  EXPECT_EQ(SetFreezeReportExtras(~0u), 7u) << "unknown bits are ignored";
  EXPECT_EQ(SetFreezeReportExtras(kQuillmarkFreezeRecovery), 1u);

  auto frozen = monitor_.CreateEffectRenderTracer(url("frozen"), 3);
  auto slow = monitor_.CreateGetMediaInfoTracer(url("slow"));
  advance_ms(4000);
  slow.reset();
  advance_ms(3300);
  auto recent = recent_freezes();
  ASSERT_FALSE(recent.empty());
  EXPECT_EQ(recent[0].url, url("frozen"));
  EXPECT_EQ(recent[0].freeze.recovered, 0);
  EXPECT_EQ(recent[0].freeze.duration_ms, 7300) << "so far";
  EXPECT_EQ(recent[0].freeze.event_type, EffectRender);
  EXPECT_EQ(recent[0].freeze.use_gpu, 1);
  EXPECT_EQ(recent[0].freeze.thread_id, quillmark::platform::current_thread_id());

  frozen.reset();
  ASSERT_TRUE(monitor_.run_pass());
  const std::string recovered =
      "task has recovered after 7300 ms. event type is EffectRender, url: " + url("frozen") +
      ", use_gpu: 1.";
  ASSERT_TRUE(log_.wait_for_text(recovered));

  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 4u);  // timed out twice, freezed, recovered
  EXPECT_EQ(lines[2].text, freezed_line("EffectRender", url("frozen"), 1));
  EXPECT_EQ(lines[3].text, recovered);
  EXPECT_EQ(lines[3].level, 5);
  EXPECT_EQ(lines[3].module, "FreezeMonitor");
  EXPECT_NE(lines[3].thread, std::this_thread::get_id());

  recent = recent_freezes();
  EXPECT_EQ(recent[0].freeze.recovered, 1);
  EXPECT_EQ(recent[0].freeze.duration_ms, 7300);
  advance_ms(1000);
  EXPECT_EQ(recent_freezes()[0].freeze.duration_ms, 7300) << "final once recovered";
}

// With every extra off the lines are today's: nothing follows a freeze when its task ends. The
// recent freezes are kept all the same.
TEST_F(FreezeExtras, NothingMoreWhenTheExtrasAreOff) {
  EXPECT_EQ(SetFreezeReportExtras(0), 0u);
  auto frozen = monitor_.CreateProjLoadTracer();
  advance_ms(6000);
  frozen.reset();
  advance_ms(1000);
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, timed_out_line("ProjLoad", "", 0));
  EXPECT_EQ(lines[1].text, freezed_line("ProjLoad", "", 0));

  const auto recent = recent_freezes();
  ASSERT_FALSE(recent.empty());
  EXPECT_EQ(recent[0].freeze.event_type, ProjLoad);
  EXPECT_EQ(recent[0].freeze.recovered, 1);
  EXPECT_EQ(recent[0].freeze.duration_ms, 6000);
  EXPECT_EQ(recent[0].freeze.thread_id, 0u) << "neither capture nor an extra was on";
  EXPECT_EQ(recent[0].url, "");
  EXPECT_EQ(recent[0].stack, "");
}

TEST_F(FreezeExtras, RecentFreezesKeepTheLast32NewestFirst) {
  monitor_.SetThresholds(-1, 0);
  std::vector<std::shared_ptr<FreezeTracer>> tracers;
  for (int i = 0; i < 40; ++i) tracers.push_back(monitor_.CreateFreezeTracer(Unknown, i, -i));
  ASSERT_TRUE(monitor_.run_pass());
  const auto recent = recent_freezes();
  ASSERT_EQ(recent.size(), 32u);
  EXPECT_EQ(VisitRecentFreezes(nullptr, nullptr), 32u);
  for (std::size_t at = 0; at < recent.size(); ++at) {
    EXPECT_EQ(recent[at].freeze.param1, 39 - static_cast<std::int64_t>(at));
    EXPECT_EQ(recent[at].freeze.param2, -recent[at].freeze.param1);
    EXPECT_EQ(recent[at].freeze.sequence, recent[0].freeze.sequence - at);
  }
}

// 1,000 tasks end after 1 to 1,000 ms; the ones still running at 900 ms time out, at 990 ms
// freeze (and end later). One more freezes and never ends: it counts as freezed only.
TEST_F(FreezeExtras, StatisticsAreExactOverAThousandTasks) {
  EXPECT_EQ(SetFreezeReportExtras(kQuillmarkFreezeStatistics), 4u);
  monitor_.SetThresholds(990, 900);
  std::vector<std::shared_ptr<ProjSaveTracer>> tasks;
  for (int i = 0; i < 1000; ++i) tasks.push_back(monitor_.CreateProjSaveTracer());
  auto hanging = monitor_.CreateFreezeTracer(static_cast<EventType>(77), 0, 0);
  for (auto& task : tasks) {
    advance_ms(1);
    task.reset();
  }

  EXPECT_EQ(GetFreezeStatistics(nullptr, 5), 2u);
  QuillmarkFreezeTypeStatistics figures[3] = {};
  figures[1].event_type = -5;
  EXPECT_EQ(GetFreezeStatistics(figures, 1), 2u);
  EXPECT_EQ(figures[1].event_type, -5) << "written past the capacity";
  ASSERT_EQ(GetFreezeStatistics(figures, 3), 2u);
  EXPECT_EQ(figures[0].event_type, Unknown) << "type 77 counts as Unknown";
  EXPECT_EQ(figures[0].tasks, 0u);
  EXPECT_EQ(figures[0].timed_out, 1u);
  EXPECT_EQ(figures[0].freezed, 1u);
  EXPECT_EQ(figures[0].max_ms, 0);
  EXPECT_EQ(figures[1].event_type, ProjSave);
  EXPECT_EQ(figures[1].tasks, 1000u);
  EXPECT_EQ(figures[1].timed_out, 101u);
  EXPECT_EQ(figures[1].freezed, 11u);
  EXPECT_EQ(figures[1].p50_ms, 500);
  EXPECT_EQ(figures[1].p95_ms, 950);
  EXPECT_EQ(figures[1].max_ms, 1000);

  log_.clear();
  monitor_.log_statistics();
  ASSERT_EQ(log_.lines().size(), 2u);
  EXPECT_EQ(log_.lines()[1].text,
            "freeze statistics of ProjSave: 1000 tasks, 101 timed out, 11 freezed; durations p50 "
            "500 ms, p95 950 ms, max 1000 ms.");
  EXPECT_EQ(log_.lines()[1].level, 5);

  // Off keeps the figures and counts nothing; on again starts afresh.
  SetFreezeReportExtras(0);
  hanging.reset();
  EXPECT_EQ(GetFreezeStatistics(figures, 3), 2u);
  EXPECT_EQ(figures[0].tasks, 0u);
  SetFreezeReportExtras(kQuillmarkFreezeStatistics);
  EXPECT_EQ(GetFreezeStatistics(figures, 3), 0u);
}

// Past the kept durations the counts and the maximum stay exact and the percentiles come from a
// fair sample.
TEST(TaskStatistics, BeyondTheKeptDurations) {
  TaskStatistics statistics;
  constexpr std::int64_t kTasks = 4 * TaskStatistics::kKeptDurations;
  for (std::int64_t ms = kTasks; ms >= 1; --ms) statistics.count_ended(EffectCreate, ms);
  statistics.count_ended(EffectCreate, -3);
  const auto figures = statistics.figures();
  ASSERT_EQ(figures.size(), 1u);
  EXPECT_EQ(figures[0].tasks, static_cast<std::uint64_t>(kTasks) + 1);
  EXPECT_EQ(figures[0].max_ms, kTasks);
  EXPECT_NEAR(static_cast<double>(figures[0].p50_ms), kTasks * 0.50, kTasks * 0.01);
  EXPECT_NEAR(static_cast<double>(figures[0].p95_ms), kTasks * 0.95, kTasks * 0.01);
}

}  // namespace
}  // namespace freezemonitor
