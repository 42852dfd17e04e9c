// The freeze monitor through its exported interface, as a host uses it, with the real clock and
// small thresholds.
#include <quillmark/freeze_monitor.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "freezemonitor/event_recorder.h"
#include "support/log_capture.h"

namespace {

using freezemonitor::FreezeMonitor;
using quillmark::testing::EventRecorder;
using quillmark::testing::LogCapture;

// Every test leaves the process-wide settings at their defaults.
class FreezeMonitorApi : public ::testing::Test {
 protected:
  void TearDown() override {
    monitor_->SetThresholds(5000, 3000);
    monitor_->SetTimeoutEventEnabled(false);
  }

  FreezeMonitor* monitor_ = GetFreezeMonitor();
};

TEST(FreezeMonitorStart, ConcurrentFirstCallsGetTheSameMonitor) {
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::vector<FreezeMonitor*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      seen[i] = GetFreezeMonitor();
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_NE(seen[0], nullptr);
  for (auto* monitor : seen) EXPECT_EQ(monitor, seen[0]);
}

TEST(FreezeEventCopies, OwnTheirUrl) {
  FreezeEvent original;
  original.event_type = freezemonitor::EffectRender;
  original.param1 = 3;
  original.url = strdup("media/a.mov");
  FreezeEvent copy(original);
  ASSERT_NE(copy.url, original.url);
  EXPECT_STREQ(copy.url, "media/a.mov");
  EXPECT_EQ(copy.param1, 3);

  FreezeEvent assigned;
  assigned.url = strdup("old");
  assigned = original;
  EXPECT_NE(assigned.url, original.url);
  EXPECT_STREQ(assigned.url, "media/a.mov");
  assigned = assigned;
  EXPECT_STREQ(assigned.url, "media/a.mov");

  const FreezeEvent empty;
  FreezeEvent from_empty(empty);
  EXPECT_EQ(from_empty.url, nullptr);
  assigned = empty;
  EXPECT_EQ(assigned.url, nullptr);
}

// Hosts trace their own slow writes: a sink that creates and releases a tracer for each record
// it writes, called by the watchdog as it reports, neither deadlocks nor stops the reports.
TEST_F(FreezeMonitorApi, ASinkThatTracesItsOwnWrites) {
  struct TracingSink {
    FreezeMonitor* monitor;
    LogCapture* log;
    static void write(const core::LogRecord& record, void* context) {
      auto* self = static_cast<TracingSink*>(context);
      auto trace = self->monitor->CreateProjSaveTracer();
      self->log->keep(record);
    }
  };
  LogCapture log;
  TracingSink sink{monitor_, &log};
  core::SetLogSink(&TracingSink::write, &sink);
  monitor_->SetThresholds(60, 20);
  const std::string url = "media/ASinkThatTracesItsOwnWrites.mov";
  auto tracer = monitor_->CreateGetMediaInfoTracer(url);
  const bool reported =
      log.wait_for_text("task has freezed. event type is GetMediaInfo, url: " + url);
  core::SetLogSink(nullptr, nullptr);
  ASSERT_TRUE(reported);
  EXPECT_EQ(log.count_containing(url), 2);
  // The watchdog goes on working with the sink's tracers created and released meanwhile.
  LogCapture later;
  auto next = monitor_->CreateEffectCreateTracer(url + "/next", 0);
  EXPECT_TRUE(later.wait_for_text(url + "/next", 2));
}

// Many host threads create and release tracers of every kind while the watchdog reports some of
// them; ids stay unique and rise within each thread. Then the whole road with the real clock: a
// task that runs on logs its timed-out line, then its freezed line, and listeners of the base
// library's bus receive kind 0 then kind 1 (the watchdog's own tests check every field on a
// hand-moved clock).
TEST_F(FreezeMonitorApi, ConcurrentTracersWhileTheWatchdogReports) {
  LogCapture log;
  EventRecorder events;
  monitor_->SetThresholds(3, 1);
  constexpr int kThreads = 8;
  constexpr int kRounds = 300;
  std::vector<std::vector<std::uint32_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::shared_ptr<freezemonitor::FreezeTracer>> held;
      for (int round = 0; round < kRounds; ++round) {
        const std::string url = "media/thread" + std::to_string(t);
        held.push_back(monitor_->CreateVideoOpenDecoderTracer(url, round));
        held.push_back(monitor_->CreateAudioOpenDecoderTracer(url));
        held.push_back(monitor_->CreateD3DRenderTracer());
        held.push_back(monitor_->CreateFreezeTracer(freezemonitor::PlayerState, t, round));
        for (auto it = held.end() - 4; it != held.end(); ++it) ids[t].push_back((*it)->id);
        if (round % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        held.erase(held.begin(), held.begin() + static_cast<long>(held.size() / 2));
        if (t == 0) {
          std::int64_t freeze = 0;
          std::int64_t timeout = 0;
          monitor_->GetThresholds(freeze, timeout);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // The watchdog still works after the storm.
  monitor_->SetTimeoutEventEnabled(true);
  const std::string url = "media/ConcurrentTracersWhileTheWatchdogReports.mov";
  auto last = monitor_->CreateEffectRenderTracer(url, 7);
  ASSERT_TRUE(log.wait_for_text("task has freezed. event type is EffectRender, url: " + url +
                                ", use_gpu: 1."));
  const auto posted = events.wait_for(url, 2);
  EXPECT_EQ(log.count_containing("task has timed out. event type is EffectRender. url: " + url +
                                 ". use_gpu: 1."),
            1);
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].kind, 0);
  EXPECT_EQ(posted[1].kind, 1);

  std::vector<std::uint32_t> all;
  for (auto& per_thread : ids) {
    EXPECT_TRUE(std::is_sorted(per_thread.begin(), per_thread.end()));
    all.insert(all.end(), per_thread.begin(), per_thread.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "an id was handed out twice";
}

}  // namespace
