// White-box tests of the registry and the watchdog, on the hand clock.
#include <core/async_event_bus.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "freezemonitor/event_recorder.h"
#include "freezemonitor/hand_clock.h"

namespace freezemonitor {
namespace {

using quillmark::testing::CapturedLine;
using quillmark::testing::EventRecorder;

class FreezeWatchdog : public testing::HandClockTest {
 protected:
  // Moves `suspension` (and the hand clock) by `ms` while the watchdog sleeps, as a stop of the
  // whole process finds it. The watchdog holds the alarm's lock from a wake until it sleeps again
  // (nothing is due meanwhile in these tests), so once it was seen waking, taking that lock
  // finds it asleep.
  void suspend_ms(std::atomic<std::int64_t>& suspension, std::int64_t ms) {
    const std::uint64_t wakeups = monitor_.watchdog_wakeups();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (monitor_.watchdog_wakeups() == wakeups) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the watchdog does not wake";
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    monitor_.lock_for_fork();
    suspension += ticks_of_ms(ms);
    monitor_.unlock_after_fork();
  }

  std::vector<CapturedLine> lines_with(const std::string& url) const {
    std::vector<CapturedLine> found;
    for (auto& line : log_.lines()) {
      if (line.text.find("url: " + url) != std::string::npos) found.push_back(line);
    }
    return found;
  }

  const TraceRecord* find_record(const std::vector<TraceRecord>& records, std::uint32_t id) {
    for (auto& record : records) {
      if (record.id == id) return &record;
    }
    return nullptr;
  }
};

// The defaults are checked by the report times below; out of the table, any value is "Unknown".
TEST_F(FreezeWatchdog, TypesOutsideTheNameTableAreUnknown) {
  EXPECT_STREQ(event_type_name(PlayerState), "PlayerState");  // the last entry
  for (int type : {-1, static_cast<int>(MaxSize), 1000}) {
    EXPECT_STREQ(event_type_name(type), "Unknown") << type;
  }
}

TEST_F(FreezeWatchdog, RecordsCarryTheTaskAndTheThresholdsOfTheirCreation) {
  auto generic = monitor_.CreateFreezeTracer(static_cast<EventType>(42), -7, 1LL << 40);
  auto video = monitor_.CreateVideoOpenDecoderTracer(url("clip"), 7);
  monitor_.SetThresholds(700, 400);
  auto render = monitor_.CreateD3DRenderTracer();

  // Ids count up across classes, from the one process-wide counter.
  EXPECT_EQ(video->id, generic->id + 1);
  EXPECT_EQ(render->id, video->id + 1);
  EXPECT_EQ(render->id, tracer_id_counter.load());
  EXPECT_EQ(video->event_type, VideoOpenDecoder);
  EXPECT_EQ(video->url, url("clip"));
  EXPECT_EQ(video->use_gpu, 7);

  const auto records = monitor_.records_snapshot();
  const TraceRecord* generic_record = find_record(records, generic->id);
  const TraceRecord* video_record = find_record(records, video->id);
  const TraceRecord* render_record = find_record(records, render->id);
  ASSERT_NE(generic_record, nullptr);
  ASSERT_NE(video_record, nullptr);
  ASSERT_NE(render_record, nullptr);

  EXPECT_EQ(generic_record->freeze_ms, 5000);
  EXPECT_EQ(generic_record->timeout_ms, 3000);
  EXPECT_EQ(generic_record->start_ticks, hand_clock());
  EXPECT_EQ(generic_record->state, TraceRecord::kRunning);
  EXPECT_EQ(generic_record->event.event_type, 42);
  EXPECT_EQ(generic_record->event.param1, -7);
  EXPECT_EQ(generic_record->event.param2, 1LL << 40);
  EXPECT_STREQ(report_url(generic_record->event), "");

  EXPECT_TRUE(video_record->event.use_gpu);
  EXPECT_STREQ(video_record->event.url, url("clip").c_str());

  // Thresholds changed between creations apply to the later task only.
  EXPECT_EQ(render_record->freeze_ms, 700);
  EXPECT_EQ(render_record->timeout_ms, 400);
  EXPECT_FALSE(render_record->event.use_gpu);

  // Release marks the record finished; the next pass drops it.
  const std::uint32_t video_id = video->id;
  video.reset();
  const auto after_release = monitor_.records_snapshot();
  const TraceRecord* released = find_record(after_release, video_id);
  if (released != nullptr) {
    EXPECT_EQ(released->state, TraceRecord::kFinished);
  }
  settle();
  EXPECT_EQ(find_record(monitor_.records_snapshot(), video_id), nullptr);
  EXPECT_NE(find_record(monitor_.records_snapshot(), generic->id), nullptr);
}

// Default thresholds: released at 2 s nothing, released at 4 s one timed-out line, running past
// 5 s one timed-out and one freezed line with one event; nothing more after that.
TEST_F(FreezeWatchdog, ReportsEachThresholdOnceAtTheDefaults) {
  EventRecorder events;
  auto quick = monitor_.CreateGetMediaInfoTracer(url("quick"));
  auto slow = monitor_.CreateVideoOpenDecoderTracer(url("slow"), 1);
  auto stuck = monitor_.CreateEffectRenderTracer(url("stuck"), 0);

  advance_ms(2000);
  settle();
  quick.reset();
  advance_ms(2000);
  ASSERT_TRUE(log_.wait_for_text(timed_out_line("VideoOpenDecoder", url("slow"), 1)));
  ASSERT_TRUE(log_.wait_for_text(timed_out_line("EffectRender", url("stuck"), 0)));
  slow.reset();
  advance_ms(1000);
  ASSERT_TRUE(log_.wait_for_text(freezed_line("EffectRender", url("stuck"), 0)));
  const auto stuck_events = events.wait_for(url("stuck"), 1);

  const std::uint32_t stuck_id = stuck->id;
  EXPECT_EQ(find_record(monitor_.records_snapshot(), stuck_id), nullptr);
  stuck.reset();
  advance_ms(10000);
  settle();
  ASSERT_TRUE(core::GetGlobalEventBus().waitUntilIdle(std::chrono::seconds(20)));

  EXPECT_TRUE(lines_with(url("quick")).empty());
  const auto slow_lines = lines_with(url("slow"));
  ASSERT_EQ(slow_lines.size(), 1u);
  EXPECT_EQ(slow_lines[0].level, 5);
  EXPECT_EQ(slow_lines[0].logger, "ZOR");
  EXPECT_EQ(slow_lines[0].module, "FreezeMonitor");
  const auto stuck_lines = lines_with(url("stuck"));
  ASSERT_EQ(stuck_lines.size(), 2u);
  EXPECT_EQ(stuck_lines[0].level, 5);
  EXPECT_EQ(stuck_lines[1].level, 6);
  EXPECT_EQ(stuck_lines[1].text, freezed_line("EffectRender", url("stuck"), 0));

  EXPECT_TRUE(events.events_for(url("quick")).empty());
  EXPECT_TRUE(events.events_for(url("slow")).empty()) << "timed-out events are off by default";
  ASSERT_EQ(events.events_for(url("stuck")).size(), 1u);
  EXPECT_EQ(stuck_events[0].kind, 1);
  EXPECT_EQ(stuck_events[0].event_type, EffectRender);
}

// A pass that comes after both thresholds logs both lines, timed-out first, and posts kind 0
// then kind 1 with the same description.
TEST_F(FreezeWatchdog, LatePassReportsTimedOutBeforeFreezed) {
  EventRecorder events;
  monitor_.SetTimeoutEventEnabled(true);
  auto effect = monitor_.CreateEffectCreateTracer(url("late"), 7);
  advance_ms(60000);
  ASSERT_TRUE(log_.wait_for_text(freezed_line("EffectCreate", url("late"), 1)));
  const auto posted = events.wait_for(url("late"), 2);

  const auto lines = lines_with(url("late"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, timed_out_line("EffectCreate", url("late"), 1));
  EXPECT_EQ(lines[1].text, freezed_line("EffectCreate", url("late"), 1));

  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].kind, 0);
  EXPECT_EQ(posted[1].kind, 1);
  for (const auto& event : posted) {
    EXPECT_EQ(event.event_type, EffectCreate);
    EXPECT_EQ(event.param1, 0);
    EXPECT_EQ(event.param2, 0);
    EXPECT_TRUE(event.use_gpu);
    EXPECT_STREQ(event.url, url("late").c_str());
  }
}

TEST_F(FreezeWatchdog, FreezeBelowTimeoutGivesOnlyTheFreezedLine) {
  monitor_.SetThresholds(3000, 5000);
  auto load = monitor_.CreateAudioOpenDecoderTracer(url("early-freeze"));
  advance_ms(3000);
  ASSERT_TRUE(log_.wait_for_text(freezed_line("AudioOpenDecoder", url("early-freeze"), 0)));
  advance_ms(5000);
  settle();
  EXPECT_EQ(lines_with(url("early-freeze")).size(), 1u);
}

TEST_F(FreezeWatchdog, ZeroTimeoutDisablesTheTimedOutReport) {
  monitor_.SetTimeoutEventEnabled(true);
  monitor_.SetThresholds(5000, 0);
  auto audio = monitor_.CreateAudioAbnormalTracer(url("no-timeout"));
  advance_ms(4999);
  settle();
  EXPECT_TRUE(lines_with(url("no-timeout")).empty());
  advance_ms(1);
  ASSERT_TRUE(log_.wait_for_text(freezed_line("AudioAbnormal", url("no-timeout"), 0)));
  EXPECT_EQ(lines_with(url("no-timeout")).size(), 1u);
}

TEST_F(FreezeWatchdog, NonPositiveFreezeReportsInTheFirstPass) {
  monitor_.SetThresholds(-1, 0);
  auto picture = monitor_.CreatePictureDecoderAbnormalTracer(url("instant"));
  ASSERT_TRUE(log_.wait_for_text(freezed_line("PictureDecoderAbnormal", url("instant"), 0)));
}

TEST_F(FreezeWatchdog, ClockGoingBackwardsReportsNothingUntilThresholdReached) {
  auto save = monitor_.CreateVideoAbnormalTracer(url("backwards"), 0);
  advance_ms(-60000);
  settle();
  EXPECT_TRUE(lines_with(url("backwards")).empty());
  advance_ms(63000);
  ASSERT_TRUE(log_.wait_for_text(timed_out_line("VideoAbnormal", url("backwards"), 0)));
}

// Values outside the table are logged as "Unknown" and reach listeners unchanged; argument-less
// tracers report an empty url.
TEST_F(FreezeWatchdog, OutOfTableTypeIsLoggedAsUnknown) {
  EventRecorder events;
  auto generic = monitor_.CreateFreezeTracer(MaxSize, 11, -22);
  advance_ms(5000);
  ASSERT_TRUE(log_.wait_for_text("task has freezed. event type is Unknown, url: , use_gpu: 0."));
  const auto posted = events.wait_for("", 1);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].event_type, MaxSize);
  EXPECT_EQ(posted[0].param1, 11);
  EXPECT_EQ(posted[0].param2, -22);
  EXPECT_EQ(posted[0].kind, 1);
}

// The watchdog sleeps until the earliest threshold a running task can still pass, and not at all
// once nothing runs.
TEST_F(FreezeWatchdog, SleepsUntilTheEarliestThresholdOfARunningTask) {
  monitor_.SetThresholds(60000, 30000);
  auto far = monitor_.CreateGetMediaInfoTracer(url("far"));
  const std::int64_t start = hand_clock();
  settle();
  EXPECT_EQ(monitor_.watchdog_due(), start + ticks_of_ms(30000));

  advance_ms(30000);
  ASSERT_TRUE(log_.wait_for_text(timed_out_line("GetMediaInfo", url("far"), 0)));
  settle();
  EXPECT_EQ(monitor_.watchdog_due(), start + ticks_of_ms(60000)) << "the freeze rule is next";

  far.reset();
  settle();
  EXPECT_EQ(monitor_.watchdog_due(), WatchdogAlarm::kNever);
}

// A task with a short threshold created while the watchdog sleeps towards a far one wakes it:
// after the creation only the clock moves, and each report comes when the short task's own
// threshold passes.
TEST_F(FreezeWatchdog, NewShortTaskIsReportedOnTimeWhileTheWatchdogSleepsLong) {
  EventRecorder events;
  monitor_.SetThresholds(3600000, 1800000);
  auto far = monitor_.CreateGetMediaInfoTracer(url("far"));
  settle();
  monitor_.SetThresholds(50, 20);
  auto near = monitor_.CreateEffectRenderTracer(url("near"), 1);
  EXPECT_EQ(monitor_.watchdog_due(), hand_clock() + ticks_of_ms(20));

  advance_ms(20);
  ASSERT_TRUE(log_.wait_for_text(timed_out_line("EffectRender", url("near"), 1)));
  advance_ms(30);
  ASSERT_TRUE(log_.wait_for_text(freezed_line("EffectRender", url("near"), 1)));
  ASSERT_EQ(events.wait_for(url("near"), 1).size(), 1u);
  EXPECT_TRUE(lines_with(url("far")).empty());
}

// Releases that the watchdog never sees (it sleeps far past this test) still leave the registry
// small, and each release finishes its own entry whatever the order.
TEST_F(FreezeWatchdog, ReleasesFinishTheirOwnEntriesWhileTheWatchdogSleeps) {
  monitor_.SetThresholds(3600000, 1800000);
  settle();
  const std::uint64_t passes = monitor_.completed_passes();
  std::vector<std::shared_ptr<FreezeTracer>> tracers;
  for (int i = 0; i < 3000; ++i) tracers.push_back(monitor_.CreatePlayerStateTracer());
  std::mt19937 random(7);
  std::shuffle(tracers.begin(), tracers.end(), random);
  std::set<std::uint32_t> kept;
  for (std::size_t i = 0; i < 100; ++i) kept.insert(tracers[i]->id);
  tracers.resize(100);  // releases 2900 in random order

  const auto records = monitor_.records_snapshot();
  EXPECT_LE(records.size(), 2 * kept.size());
  std::set<std::uint32_t> running;
  for (const auto& record : records) {
    if (record.state == TraceRecord::kRunning)
      running.insert(static_cast<std::uint32_t>(record.id));
  }
  EXPECT_EQ(running, kept);
  EXPECT_EQ(monitor_.completed_passes(), passes) << "a pass ran and may have compacted instead";

  tracers.clear();
  for (const auto& record : monitor_.records_snapshot()) {
    EXPECT_EQ(record.state, TraceRecord::kFinished);
  }
}

// A task 1 s old, then 8 s during which the process was stopped (the watchdog woke 7.9 s after
// the 100 ms it asked for) or the system slept: left out, the task is reported only once its own
// running time passes a threshold. With the switch off the gap counts, as it always did.
TEST_F(FreezeWatchdog, TimeTheWatchdogCouldNotRunIsNotTheTasks) {
  struct Case {
    const char* name;
    std::atomic<std::int64_t>* suspension;
    bool skip;
    std::int64_t gap_ms;
  };
  const Case cases[] = {{"stopped", &stopped_ticks, true, 7900},
                        {"slept", &slept_ticks, true, 8000},
                        {"stopped-counted", &stopped_ticks, false, 0},
                        {"slept-counted", &slept_ticks, false, 0}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    log_.clear();
    EventRecorder events;
    SetFreezeSuspensionSkipEnabled(test.skip);
    auto task = monitor_.CreateGetMediaInfoTracer(url(test.name));
    advance_ms(1000);
    settle();
    suspend_ms(*test.suspension, 8000);
    settle();
    if (test.skip) {
      EXPECT_TRUE(lines_with(url(test.name)).empty());
      EXPECT_EQ(log_.count_containing("watchdog could not run for " + std::to_string(test.gap_ms) +
                                      " ms (process stopped or system asleep); that time is not "
                                      "counted as tasks' running time."),
                1);
      // Watched on from its own time: 3 s of it are up after 2 s more.
      advance_ms(2000);
      ASSERT_TRUE(log_.wait_for_text(timed_out_line("GetMediaInfo", url(test.name), 0)));
      EXPECT_EQ(lines_with(url(test.name)).size(), 1u);
    } else {
      ASSERT_TRUE(log_.wait_for_text(freezed_line("GetMediaInfo", url(test.name), 0)));
      EXPECT_EQ(log_.count_containing("watchdog could not run"), 0);
    }
    ASSERT_TRUE(core::GetGlobalEventBus().waitUntilIdle(std::chrono::seconds(20)));
    EXPECT_EQ(events.events_for(url(test.name)).size(), test.skip ? 0u : 1u);
  }
}

// Two gaps, from 2 s to 10 s and from 15 s to 20 s: a task loses the parts after its start.
TEST_F(FreezeWatchdog, TaskLosesOnlyTheGapsAfterItsStart) {
  const SkippedTime first{ticks_of_ms(8000), ticks_of_ms(10000)};
  const SkippedTime second{ticks_of_ms(5000), ticks_of_ms(20000)};
  struct Case {
    std::int64_t start_ms;
    std::int64_t lost_ms;
  };
  for (const Case& test : {Case{1000, 13000}, Case{5000, 10000}, Case{12000, 5000},
                           Case{17000, 3000}, Case{20000, 0}, Case{25000, 0}}) {
    std::int64_t start = ticks_of_ms(test.start_ms);
    leave_out(start, first);
    leave_out(start, second);
    EXPECT_EQ(start, ticks_of_ms(test.start_ms + test.lost_ms)) << test.start_ms;
  }
}

// A frozen task still loses a gap after its freeze: 5 s so far among the recent freezes, and
// recovered after its 5 s, not 13 s. A younger task keeps the watchdog on its timed sleeps.
TEST_F(FreezeWatchdog, RecoveryRecordLeavesOutAGapAfterTheFreeze) {
  SetFreezeReportExtras(kQuillmarkFreezeRecovery);
  auto frozen = monitor_.CreateGetMediaInfoTracer(url("frozen"));
  advance_ms(5000);
  ASSERT_TRUE(log_.wait_for_text(freezed_line("GetMediaInfo", url("frozen"), 0)));
  auto younger = monitor_.CreateGetMediaInfoTracer(url("younger"));
  settle();
  suspend_ms(slept_ticks, 8000);
  settle();
  EXPECT_EQ(testing::recent_freezes().at(0).freeze.duration_ms, 5000);
  frozen.reset();
  ASSERT_TRUE(log_.wait_for_text(
      "task has recovered after 5000 ms. event type is GetMediaInfo, url: " + url("frozen")));
}

}  // namespace
}  // namespace freezemonitor
