// Leak reports at the sizes real hosts reach: call sites grouped with their counts, the JSON
// leak file read back by a real parser, whole reports of a thousand stacks, and host calls that
// do not wait for a large report. Stacks are captured and resolved for real.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "callstack/stack_text.h"
#include "platform/file_write.h"
#include "platform/time_text.h"
#include "resmonitor/registry.h"
#include "support/log_capture.h"
#include "tests/resmonitor/manual_timing.h"

namespace resmonitor {
namespace {

// Stands for the exported AddResource, whose frame a recorded stack leaves out.
__attribute__((noinline)) int add_through_export(ResourceMonitor& monitor, const char* name,
                                                 void* obj) {
  const int result = monitor.AddResource(name, obj);
  asm volatile("" ::: "memory");
  return result;
}

std::atomic<int> g_result{0};  // written by the sites, so that no call is dropped
volatile std::uintptr_t g_three = 3;

// Three call sites of host code. No two have the same code, which the compiler could fold into
// one function (and the stacks would name only one of them).
__attribute__((noinline)) void load_texture_site(ResourceMonitor& monitor, void* obj) {
  g_result = add_through_export(monitor, "Texture", obj);
}
__attribute__((noinline)) void decode_frame_site(ResourceMonitor& monitor, void* obj) {
  g_result = add_through_export(monitor, "Texture", obj) + 1;
}
__attribute__((noinline)) void open_codec_site(ResourceMonitor& monitor, void* obj) {
  g_result = add_through_export(monitor, "Codec", obj);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class LeakReport : public testing::ManualMonitorTest {
 protected:
  void TearDown() override {
    SetLeakReportGroupedBySite(false);
    SetLeakReportFile(nullptr);
  }

  // 10,000 resources: 5,000 from the first site (spread over many registry slices), 4,000 from
  // the second, 1,000 of another name from the third.
  void register_from_three_sites() {
    for (std::uintptr_t i = 1; i <= 10000; ++i) {
      void* obj = pointer(i * 0x1000);
      if (i % 2 == 0) {
        load_texture_site(*monitor, obj);
      } else if (i % 5 != 0) {
        decode_frame_site(*monitor, obj);
      } else {
        open_codec_site(*monitor, obj);
      }
    }
  }

  std::string final_report() {
    monitor->Destroy();
    for (const auto& line : capture.lines()) {
      if (line.text.rfind("Resource leak list", 0) == 0) return line.text;
    }
    return std::string();
  }

  const std::filesystem::path leak_file =
      std::filesystem::temp_directory_path() /
      (std::string("quillmark-leaks-") +
       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".json");
};

TEST_F(LeakReport, SitesAreCountedSortedAndNamedAfterTheirCallers) {
  monitor->SetMonitorInfoLevel(MonitorInfoStack);
  register_from_three_sites();
  monitor->SetMonitorInfoLevel(MonitorInfoCheck);  // no stacks: one site for the name
  monitor->AddResource("Texture", pointer(0x10));
  monitor->AddResource("Texture", pointer(0x20));

  std::list<ResourceSiteInfo> sites;
  ASSERT_EQ(monitor->GetResourceSites(sites), 0);
  ASSERT_EQ(sites.size(), 4u);
  auto site = sites.begin();
  EXPECT_EQ(site->count, 5000u);
  EXPECT_STREQ(site->objName, "Texture");
  EXPECT_NE(site->callStack.find("load_texture_site"), std::string::npos) << site->callStack;
  EXPECT_EQ(site->callStack.rfind("    ", 0), 0u) << "frame lines only, no header";
  ASSERT_EQ(site->exampleCount, 4u);
  EXPECT_EQ(site->examples[0], pointer(0x2000));
  EXPECT_EQ(site->examples[3], pointer(0x8000));
  ++site;
  EXPECT_EQ(site->count, 4000u);
  EXPECT_NE(site->callStack.find("decode_frame_site"), std::string::npos) << site->callStack;
  ++site;
  EXPECT_EQ(site->count, 1000u);
  EXPECT_STREQ(site->objName, "Codec");
  EXPECT_NE(site->callStack.find("open_codec_site"), std::string::npos) << site->callStack;
  ++site;
  EXPECT_EQ(site->count, 2u);
  EXPECT_TRUE(site->callStack.empty());
  EXPECT_EQ(site->exampleCount, 2u);
  EXPECT_EQ(site->examples[1], pointer(0x20));
}

// Equal stacks of two names may share one pooled record: they are still two sites.
TEST_F(LeakReport, OneCallSiteUnderTwoNamesIsTwoSites) {
  monitor->SetMonitorInfoLevel(MonitorInfoStack);
  const char* const names[] = {"Beta", "Alpha"};
  for (std::uintptr_t i = 1; i <= 4 * g_three; ++i) {
    g_result = add_through_export(*monitor, names[i % 2], pointer(i * 0x40));
  }
  std::list<ResourceSiteInfo> sites;
  monitor->GetResourceSites(sites);
  ASSERT_EQ(sites.size(), 2u);
  EXPECT_STREQ(sites.front().objName, "Alpha");
  EXPECT_STREQ(sites.back().objName, "Beta");
  for (const ResourceSiteInfo& site : sites) EXPECT_EQ(site.count, 2 * g_three);
  EXPECT_EQ(sites.front().callStack, sites.back().callStack);
}

// Each registering thread pools its stacks apart, and any thread may remove what another
// registered: one call site used by two threads is still one site.
TEST_F(LeakReport, OneCallSiteOnTwoThreadsIsOneSite) {
  monitor->SetMonitorInfoLevel(MonitorInfoStack);
  const auto register_every_other = [&](std::uintptr_t first) {
    for (std::uintptr_t i = first; i <= 200; i += 2) load_texture_site(*monitor, pointer(i * 0x40));
  };
  std::thread odd(register_every_other, 1);
  std::thread even(register_every_other, 2);
  odd.join();
  even.join();
  monitor->RemoveResource("Texture", pointer(1 * 0x40));
  monitor->RemoveResource("Texture", pointer(2 * 0x40));

  std::list<ResourceSiteInfo> sites;
  monitor->GetResourceSites(sites);
  ASSERT_EQ(sites.size(), 1u);
  EXPECT_EQ(sites.front().count, 198u);
  EXPECT_EQ(sites.front().examples[0], pointer(3 * 0x40));
  EXPECT_NE(sites.front().callStack.find("load_texture_site"), std::string::npos);
}

TEST_F(LeakReport, GroupedDetailedReportListsEachSiteOnceWithASummary) {
  start(MonitorInfoCheck | MonitorInfoDetail);
  monitor->AddResource("Codec", pointer(0x10));  // its own site: registered from the test body
  // A loop the optimiser cannot unroll: each registration must come from the same call.
  for (std::uintptr_t i = 1; i <= g_three; ++i) load_texture_site(*monitor, pointer(i * 0x10000));
  std::list<ResourceSiteInfo> sites;
  monitor->GetResourceSites(sites);
  ASSERT_EQ(sites.size(), 2u);

  SetLeakReportGroupedBySite(true);
  std::string expected = "Resource leak list";
  int index = 0;
  for (const ResourceSiteInfo& site : sites) {
    expected += "\n[" + std::to_string(index++) + "] [" + site.objName +
                "] count:" + std::to_string(site.count) +
                " oldest: " + quillmark::platform::ctime_text(site.oldestCreateTime) +
                normalize_stack_text(site.callStack);
  }
  expected += "\nTotal: 4 resources, 2 sites, 2 names";
  EXPECT_EQ(final_report(), expected);
  EXPECT_EQ(sites.front().count, 3u);
}

TEST_F(LeakReport, SwitchOffKeepsTheDetailedForm) {
  SetLeakReportGroupedBySite(true);
  EXPECT_TRUE(SetLeakReportGroupedBySite(false));
  start(MonitorInfoCheck | MonitorInfoDetail);
  for (std::uintptr_t i = 1; i <= g_three - 1; ++i) {
    load_texture_site(*monitor, pointer(i * 0x10000));
  }
  const std::string report = final_report();
  EXPECT_NE(report.find("\n[1] "), std::string::npos) << report;
  EXPECT_EQ(report.find("count:"), std::string::npos) << report;
  EXPECT_EQ(report.find("Total:"), std::string::npos) << report;
}

TEST_F(LeakReport, AThousandStacksReachTheSinkWhole) {
  start(MonitorInfoCheck | MonitorInfoDetail | MonitorInfoStack);
  for (std::uintptr_t i = 1; i <= 1000; ++i) load_texture_site(*monitor, pointer(i * 0x40));
  const std::string report = final_report();
  std::size_t headers = 0;
  for (std::size_t at = report.find("Frame Texture["); at != std::string::npos;
       at = report.find("Frame Texture[", at + 1)) {
    ++headers;
  }
  EXPECT_EQ(headers, 1000u);
  EXPECT_GT(report.size(), 100000u);
  EXPECT_EQ(report.back(), '\n') << "the last frame line is whole";
}

TEST_F(LeakReport, LeakFileAgreesWithTheSitesAndKeepsOddNames) {
  const std::string odd_name = "Odd \"quoted\" \x01 name \xFF end";
  start(MonitorInfoCheck | MonitorInfoStack);
  register_from_three_sites();
  add_through_export(*monitor, odd_name.c_str(), pointer(0x77));
  std::filesystem::remove(leak_file);
  SetLeakReportFile(leak_file.u8string().c_str());
  std::list<ResourceSiteInfo> sites;
  monitor->GetResourceSites(sites);
  monitor->Destroy();

  const nlohmann::json report = nlohmann::json::parse(read_file(leak_file));
  EXPECT_EQ(report["format"], "quillmark-leak-report");
  EXPECT_EQ(report["version"], 1);
  EXPECT_EQ(report["totals"]["resources"], 10001);
  EXPECT_EQ(report["totals"]["sites"], 4);
  EXPECT_EQ(report["totals"]["names"], 3);
  ASSERT_EQ(report["sites"].size(), sites.size());
  auto site = sites.begin();
  for (const nlohmann::json& written : report["sites"]) {
    EXPECT_EQ(written["count"], site->count);
    EXPECT_EQ(written["oldest"], site->oldestCreateTime);
    ASSERT_FALSE(written["frames"].empty());
    const nlohmann::json& frame = written["frames"][0];
    // The first frame is the first line of the text stack.
    const std::string first_line = site->callStack.substr(0, site->callStack.find('\n'));
    EXPECT_NE(first_line.find(frame["function"].get<std::string>()), std::string::npos);
    EXPECT_NE(first_line.find(frame["module"].get<std::string>() + "!"), std::string::npos);
    EXPECT_GT(frame["offset"].get<std::uint64_t>(), 0u);
    EXPECT_GT(frame["line"].get<int>(), 0) << first_line;
    EXPECT_FALSE(frame["inlined"].get<bool>());
    ++site;
  }
  EXPECT_EQ(report["sites"][0]["name"], "Texture");
  EXPECT_EQ(report["sites"][0]["examples"][0], "0x0000000000002000");
  EXPECT_EQ(report["sites"][3]["name"], "Odd \"quoted\" \x01 name \xEF\xBF\xBD end");
  EXPECT_FALSE(std::filesystem::exists(leak_file.u8string() + ".tmp"));
  std::filesystem::remove(leak_file);
}

// What a reader (or a crash) meets while the file is written: the old report, whole.
std::filesystem::path g_watched_file;
int g_pieces_seen = 0;
void expect_old_report_while_writing(std::size_t) {
  ++g_pieces_seen;
  EXPECT_EQ(read_file(g_watched_file), "old report") << "after piece " << g_pieces_seen;
}

TEST_F(LeakReport, LeakFileIsReplacedWholeAfterTheNewOneIsWritten) {
  { std::ofstream(leak_file) << "old report"; }
  start(MonitorInfoCheck);
  for (std::uintptr_t i = 1; i <= 5000; ++i) {
    monitor->AddResource(("Resource" + std::to_string(i)).c_str(), pointer(i * 0x40));
  }
  SetLeakReportFile(leak_file.u8string().c_str());
  g_watched_file = leak_file;
  g_pieces_seen = 0;
  quillmark::platform::set_file_write_observer_for_testing(&expect_old_report_while_writing);
  monitor->Destroy();
  quillmark::platform::set_file_write_observer_for_testing(nullptr);
  EXPECT_GT(g_pieces_seen, 4);
  EXPECT_EQ(nlohmann::json::parse(read_file(leak_file))["totals"]["resources"], 5000);
  std::filesystem::remove(leak_file);
}

TEST_F(LeakReport, LeakFileIsWrittenEvenWhenNothingLeaked) {
  start(MonitorInfoCheck);
  SetLeakReportFile(leak_file.u8string().c_str());
  monitor->Destroy();
  const nlohmann::json report = nlohmann::json::parse(read_file(leak_file));
  EXPECT_EQ(report["totals"]["resources"], 0);
  EXPECT_TRUE(report["sites"].empty());
  std::filesystem::remove(leak_file);
}

TEST_F(LeakReport, UnwritableLeakFileWarnsOnceAndChangesNothingElse) {
  // The temporary file cannot be made (a folder has its name): the old report stays as it was.
  std::filesystem::create_directories(leak_file.u8string() + ".tmp");
  { std::ofstream(leak_file) << "old"; }
  start(MonitorInfoCheck);
  monitor->AddResource("A", pointer(1));
  SetLeakReportFile(leak_file.u8string().c_str());
  ::testing::internal::CaptureStdout();
  const std::string report = final_report();
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(report, "Resource leak list\n[A] count:1");
  EXPECT_EQ(read_file(leak_file), "old");
  EXPECT_NE(printed.find("cannot write the leak report file"), std::string::npos) << printed;
  std::filesystem::remove_all(leak_file.u8string() + ".tmp");
  std::filesystem::remove(leak_file);
}

}  // namespace
}  // namespace resmonitor
