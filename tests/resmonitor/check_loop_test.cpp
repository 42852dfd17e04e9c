// The check loop's rules (change stamps, quiet period, postponement, final report) driven through
// a hand-stepped clock, so that each pass is deterministic and takes no real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/time_text.h"
#include "resmonitor/registry.h"
#include "support/log_capture.h"
#include "tests/resmonitor/manual_timing.h"

namespace resmonitor {
namespace {

constexpr std::int64_t kQuiet = 5'001'000;
constexpr std::int64_t kSecond = 1'000'000;
const std::string kStartLine = "resmonitor::ResourceMonitor::check_loop start check dbg...";
const std::string kEndLine = "resmonitor::ResourceMonitor::check_loop end check dbg";

class CheckLoop : public testing::ManualMonitorTest {
 protected:
  // The texts the monitor logged, in order; every one must carry the monitor's tag and level.
  std::vector<std::string> logged() const {
    std::vector<std::string> texts;
    for (const auto& line : capture.lines()) {
      EXPECT_EQ(line.module, "resmonitor");
      EXPECT_EQ(line.level, 4);
      texts.push_back(line.text);
    }
    return texts;
  }

  void pass_at(std::int64_t us) {
    timing->set_now(us);
    ASSERT_TRUE(timing->run_pass());
  }
};

TEST_F(CheckLoop, StampsOnlyOnNewGroupsRemovalsAndStarts) {
  auto stamp_after = [&](std::int64_t at, auto&& operation) {
    timing->set_now(at);
    operation();
    return monitor->last_change();
  };
  EXPECT_EQ(monitor->last_change(), 0);
  monitor->SetMonitorInfoLevel(MonitorInfoStack);  // no check bit: stops nothing, stamps nothing
  EXPECT_EQ(monitor->last_change(), 0);
  // Without the check bit nothing would read a stamp before start_check makes a new one.
  EXPECT_EQ(stamp_after(10, [&] { monitor->AddResource("Z", pointer(1)); }), 0);
  EXPECT_EQ(stamp_after(20, [&] { monitor->RemoveResource("Z", pointer(1)); }), 0);
  EXPECT_EQ(stamp_after(50, [&] { monitor->start_check(MonitorInfoCheck); }), 50);

  EXPECT_EQ(stamp_after(100, [&] { monitor->AddResource("A", pointer(1)); }), 100);
  EXPECT_EQ(stamp_after(200, [&] { monitor->AddResource("A", pointer(2)); }), 100);
  EXPECT_EQ(stamp_after(300, [&] { monitor->AddResource("A", pointer(1)); }), 100);
  EXPECT_EQ(stamp_after(400, [&] { monitor->RemoveResource("A", pointer(9)); }), 100);
  EXPECT_EQ(stamp_after(410, [&] { monitor->RemoveResource("B", pointer(1)); }), 100);
  EXPECT_EQ(stamp_after(500, [&] { monitor->RemoveResource("A", pointer(1)); }), 500);
  EXPECT_EQ(stamp_after(600, [&] { monitor->RemoveResource("A", pointer(1)); }), 500);
  EXPECT_EQ(stamp_after(700, [&] { monitor->Destroy(); }), 500);
  EXPECT_EQ(stamp_after(800, [&] { monitor->AddResource("A", pointer(1)); }), 800);
  EXPECT_EQ(stamp_after(900, [&] { monitor->start_check(MonitorInfoDetail); }), 900);
  EXPECT_EQ(stamp_after(920, [&] { monitor->AddResource("D", pointer(1)); }), 900);
  EXPECT_EQ(stamp_after(950, [&] { monitor->SetMonitorInfoLevel(MonitorInfoStack); }), 900);
  EXPECT_EQ(stamp_after(990, [&] { monitor->SetMonitorInfoLevel(MonitorInfoNone); }), 900);
  EXPECT_EQ(stamp_after(999, [&] { monitor->AddResource("C", pointer(1)); }), 900);
}

// Recorded stacks do not change the count form; only the detail bit does.
TEST_F(CheckLoop, ReportsOnceAfterQuietPeriodAndAgainAsLeakListOnDestroy) {
  start(MonitorInfoCheck | MonitorInfoStack);
  timing->set_now(kStart + 1000);
  monitor->AddResource("A", pointer(0x10));
  monitor->AddResource("A", pointer(0x20));
  const std::int64_t stamp = kStart + 1000;

  pass_at(stamp + kQuiet - 1);
  EXPECT_EQ(logged(), std::vector<std::string>{kStartLine});
  pass_at(stamp + kQuiet);
  pass_at(stamp + kQuiet + 10 * kSecond);  // nothing changed since: no second report
  EXPECT_EQ(logged(), (std::vector<std::string>{kStartLine, "\n[A] count:2"}));

  monitor->Destroy();
  EXPECT_EQ(logged(), (std::vector<std::string>{kStartLine, "\n[A] count:2",
                                                "Resource leak list\n[A] count:2", kEndLine}));
  EXPECT_FALSE(monitor->check_thread_running());
}

TEST_F(CheckLoop, EmptyRegistryLogsOnlyStartAndEnd) {
  start(MonitorInfoCheck);
  monitor->AddResource("A", pointer(1));
  monitor->RemoveResource("A", pointer(1));
  pass_at(kStart + 60 * kSecond);
  monitor->Destroy();
  EXPECT_EQ(logged(), (std::vector<std::string>{kStartLine, kEndLine}));
}

TEST_F(CheckLoop, EveryNewNameWithinTheQuietPeriodPostponesTheReport) {
  start(MonitorInfoCheck);
  std::int64_t now = kStart;
  for (int i = 0; i < 5; ++i) {
    now += 4 * kSecond;
    timing->set_now(now);
    monitor->AddResource(("Name" + std::to_string(i)).c_str(), pointer(1));
    pass_at(now + kQuiet - 1);
    EXPECT_EQ(capture.count_containing("count:"), 0) << "reported after name " << i;
    timing->set_now(now);
  }
  pass_at(now + kQuiet);
  EXPECT_EQ(capture.count_containing("\n[Name0] count:1\n[Name1] count:1"), 1);
  EXPECT_EQ(capture.count_containing("count:"), 1);
}

TEST_F(CheckLoop, LevelWithoutCheckBitKeepsThreadButSilencesIt) {
  start(MonitorInfoCheck);
  monitor->AddResource("A", pointer(1));
  monitor->start_check(MonitorInfoNone);  // what CreateResMonitor(0) does
  EXPECT_TRUE(monitor->check_thread_running());
  pass_at(kStart + 60 * kSecond);
  monitor->Destroy();
  EXPECT_EQ(logged(), (std::vector<std::string>{kStartLine, kEndLine}));
}

TEST_F(CheckLoop, LevelChangesStopWithoutFinalReport) {
  start(MonitorInfoCheck | MonitorInfoStack);
  monitor->AddResource("A", pointer(1));
  monitor->SetMonitorInfoLevel(MonitorInfoStack);
  EXPECT_FALSE(monitor->check_thread_running());
  EXPECT_EQ(logged(), (std::vector<std::string>{kStartLine, kEndLine}));
  std::list<ResMonitorInfo> all;
  monitor->GetAllResource(all);
  EXPECT_EQ(all.size(), 1u) << "stopping through the level keeps the registry";

  capture.clear();
  monitor->start_check(MonitorInfoCheck);
  monitor->SetMonitorInfoLevel(MonitorInfoNone);
  EXPECT_FALSE(monitor->check_thread_running());
  EXPECT_EQ(logged(), (std::vector<std::string>{kStartLine, kEndLine}));
  all.clear();
  monitor->GetAllResource(all);
  EXPECT_TRUE(all.empty());
}

TEST_F(CheckLoop, RestartedThreadReportsAfresh) {
  start(MonitorInfoCheck);
  monitor->AddResource("B", pointer(2));
  pass_at(kStart + kQuiet);
  monitor->stop_check();
  const int pauses_before = timing->pauses();
  monitor->start_check(MonitorInfoCheck);  // stamps kStart + kQuiet
  ASSERT_TRUE(timing->wait_for_pauses(pauses_before + 1));
  pass_at(kStart + 2 * kQuiet);
  const auto texts = logged();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "\n[B] count:1"), 2);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), kStartLine), 2);
}

TEST_F(CheckLoop, DetailLevelListsEachEntryWithTimeAndStack) {
  start(MonitorInfoCheck | MonitorInfoDetail);
  monitor->AddResource("A", pointer(0x2000));
  monitor->AddResource("A", pointer(0x1000));
  std::list<ResMonitorInfo> all;
  monitor->GetAllResource(all);
  ASSERT_EQ(all.size(), 2u);
  pass_at(kStart + kQuiet);

  const std::string report = logged().back();
  const std::string first = "\n[0] " + quillmark::platform::ctime_text(all.front().createTime);
  const std::string second = "\n[1] " + quillmark::platform::ctime_text(all.back().createTime);
  ASSERT_EQ(report.rfind(first + "Frame A[", 0), 0u) << report;
  const std::size_t second_at = report.find(second + "Frame A[");
  ASSERT_NE(second_at, std::string::npos) << report;
  // Ascending pointers: the lower one is described first.
  EXPECT_LT(report.find("1000]"), second_at);
  EXPECT_GT(report.find("2000]"), second_at);
  EXPECT_EQ(report.find("count:"), std::string::npos);
  // Each header is followed by the frames of the registration, paths normalised.
  EXPECT_EQ(report.find("]\n    "), report.find("]\n")) << report;
  EXPECT_EQ(report.find("//"), std::string::npos) << report;
  EXPECT_EQ(report.find("\\\\"), std::string::npos) << report;
}

}  // namespace
}  // namespace resmonitor
