// The exported functions as a host calls them, against the process-wide monitor.
#include <gtest/gtest.h>

#include <quillmark/resource_monitor.h>

#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace {

using namespace resmonitor;

void* pointer(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

std::vector<std::pair<std::string, void*>> names_and_pointers(const std::list<ResMonitorInfo>& l) {
  std::vector<std::pair<std::string, void*>> pairs;
  for (const auto& info : l) pairs.emplace_back(info.objName, info.obj);
  return pairs;
}

// Every test starts and ends with an empty registry at level 0 and no check thread.
class ResourceApi : public ::testing::Test {
 protected:
  void SetUp() override { SetMonitorInfoLevel(MonitorInfoNone); }
  void TearDown() override { SetMonitorInfoLevel(MonitorInfoNone); }
};

TEST_F(ResourceApi, ListsAppendInNameThenPointerOrder) {
  SetMonitorInfoLevel(static_cast<MonitorInfoLevel>(8));  // unknown bits still register
  AddResource("Tex", pointer(0x30));
  AddResource("Tex", pointer(0x10));
  AddResource("tex", pointer(0x20));
  AddResource("", pointer(0x40));
  AddResource("Te", pointer(0x50));
  AddResource("B", pointer(0x10));  // the same pointer under a second name

  std::list<ResMonitorInfo> all(1);  // a sentinel the queries must keep
  all.front().obj = pointer(0xFFFF);
  EXPECT_EQ(GetAllResource(all), 0);
  const std::vector<std::pair<std::string, void*>> expected = {
      {"", pointer(0xFFFF)},  {"", pointer(0x40)},    {"B", pointer(0x10)},  {"Te", pointer(0x50)},
      {"Tex", pointer(0x10)}, {"Tex", pointer(0x30)}, {"tex", pointer(0x20)}};
  EXPECT_EQ(names_and_pointers(all), expected);

  EXPECT_EQ(GetAllResource(all), 0);
  EXPECT_EQ(all.size(), 2 * expected.size() - 1) << "a second query appends everything again";

  std::list<ResMonitorInfo> tex;
  EXPECT_EQ(GetObjNameResource("Tex", tex), 0);
  EXPECT_EQ(names_and_pointers(tex), (std::vector<std::pair<std::string, void*>>{
                                         {"Tex", pointer(0x10)}, {"Tex", pointer(0x30)}}));
  std::list<ResMonitorInfo> none;
  EXPECT_EQ(GetObjNameResource("TEX", none), 0);
  EXPECT_TRUE(none.empty());
}

// A duplicate keeps the first registration's stack; after a removal, an add from another line
// records its own.
TEST_F(ResourceApi, DuplicateRegistrationKeepsTheFirstAndAReAddRecordsAnew) {
  SetMonitorInfoLevel(MonitorInfoStack);
  ASSERT_EQ(AddResource("A", pointer(1)), 0);
  ResMonitorInfo first;
  ASSERT_EQ(GetObjResource("A", pointer(1), first), 0);
  EXPECT_EQ(AddResource("A", pointer(1)), 0);
  ResMonitorInfo again;
  ASSERT_EQ(GetObjResource("A", pointer(1), again), 0);
  EXPECT_EQ(again.createTime, first.createTime);
  EXPECT_EQ(again.callStack, first.callStack);
  std::list<ResMonitorInfo> listed;
  GetObjNameResource("A", listed);
  EXPECT_EQ(listed.size(), 1u);

  RemoveResource("A", pointer(1));
  AddResource("A", pointer(1));
  ASSERT_EQ(GetObjResource("A", pointer(1), again), 0);
  EXPECT_NE(again.callStack, first.callStack);
  EXPECT_EQ(again.callStack.substr(0, again.callStack.find('\n')),
            first.callStack.substr(0, first.callStack.find('\n')));
}

TEST_F(ResourceApi, RemovalMatchesNameAndPointerExactly) {
  SetMonitorInfoLevel(MonitorInfoStack);
  AddResource("A", pointer(1));
  AddResource("B", pointer(1));
  EXPECT_EQ(RemoveResource("a", pointer(1)), 0);  // other name: nothing removed
  EXPECT_EQ(RemoveResource("A", pointer(2)), 0);  // other pointer: nothing removed
  EXPECT_EQ(RemoveResource("A", pointer(1)), 0);

  ResMonitorInfo info;
  info.obj = pointer(0x77);
  EXPECT_EQ(GetObjResource("A", pointer(1), info), -1);
  EXPECT_EQ(info.obj, pointer(0x77)) << "a failed query leaves info untouched";
  EXPECT_EQ(GetObjResource("B", pointer(1), info), 0);
  EXPECT_STREQ(info.objName, "B");

  // The emptied group stays, answers nothing, and takes new entries.
  std::list<ResMonitorInfo> listed;
  EXPECT_EQ(GetObjNameResource("A", listed), 0);
  EXPECT_TRUE(listed.empty());
  AddResource("A", pointer(3));
  EXPECT_EQ(GetObjResource("A", pointer(3), info), 0);
}

TEST_F(ResourceApi, NamesThatArePrefixesOfEachOtherStayApart) {
  // One pointer per round under every name, so the names meet in one slice of the registry,
  // which looks at the name it saw last before its table.
  SetMonitorInfoLevel(MonitorInfoStack);
  const char* const names[] = {"Tex", "Texture", "Te", "", "Texture2"};
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 5; ++i) AddResource(names[i], pointer(0x1000 + 16 * round));
  }
  EXPECT_EQ(RemoveResource("Texture", pointer(0x1000)), 0);
  EXPECT_EQ(RemoveResource("Texture", pointer(0x1000)), 0);  // gone: the prefixes' entries stay
  for (int i = 0; i < 5; ++i) {
    std::list<ResMonitorInfo> listed;
    GetObjNameResource(names[i], listed);
    EXPECT_EQ(listed.size(), i == 1 ? 2u : 3u) << '"' << names[i] << '"';
    for (const ResMonitorInfo& info : listed) EXPECT_STREQ(info.objName, names[i]);
  }
}

// Large lists are ordered another way than small ones: pointers anywhere in the address space,
// names with a few entries or thousands, the same pointer under several names.
TEST_F(ResourceApi, LargeListsKeepNameThenPointerOrder) {
  SetMonitorInfoLevel(static_cast<MonitorInfoLevel>(8));
  std::mt19937_64 random(7);
  std::set<std::pair<std::string, std::uintptr_t>> expected;
  const auto add = [&](const std::string& name, std::uintptr_t value) {
    AddResource(name.c_str(), pointer(value));
    expected.emplace(name, value);
  };
  for (int i = 0; i < 6000; ++i) {
    const std::uintptr_t value = (random() >> (random() % 64)) | 1;
    add(i % 3 == 0 ? "Buffer" : "Texture", value);
    if (i % 7 == 0) add("Buffer", value);
    if (i % 500 == 0) add("Name" + std::to_string(i), value);
  }
  for (std::uintptr_t i = 1; i <= 3000; ++i) add("\xff", 0x7FFF00000000 + i * 16);

  std::list<ResMonitorInfo> all;
  GetAllResource(all);
  std::vector<std::pair<std::string, void*>> in_order;
  std::vector<std::pair<std::string, void*>> textures_in_order;
  for (const auto& [name, value] : expected) {
    in_order.emplace_back(name, pointer(value));
    if (name == "Texture") textures_in_order.emplace_back(name, pointer(value));
  }
  EXPECT_TRUE(names_and_pointers(all) == in_order);

  std::list<ResMonitorInfo> textures;
  GetObjNameResource("Texture", textures);
  EXPECT_TRUE(names_and_pointers(textures) == textures_in_order);
}

TEST_F(ResourceApi, DestroyReportsLeaksAndKeepsTheLevel) {
  quillmark::testing::LogCapture capture;
  SetMonitorInfoLevel(MonitorInfoCheck);
  AddResource("Leaked", pointer(1));
  EXPECT_EQ(DestroyResMonitor(), 0);
  EXPECT_EQ(capture.count_containing("Resource leak list\n[Leaked] count:1"), 1);
  EXPECT_EQ(capture.count_containing("end check dbg"), 1);

  AddResource("Again", pointer(2));  // the level stays, the thread does not come back
  std::list<ResMonitorInfo> all;
  GetAllResource(all);
  EXPECT_EQ(names_and_pointers(all),
            (std::vector<std::pair<std::string, void*>>{{"Again", pointer(2)}}));
  EXPECT_EQ(capture.count_containing("start check dbg"), 1);
  EXPECT_EQ(DestroyResMonitor(), 0);
  EXPECT_EQ(capture.count_containing("end check dbg"), 1);
}

// The one test on the real clock: the report comes a little over five seconds after the change.
TEST_F(ResourceApi, RealClockReportFollowsTheQuietPeriod) {
  quillmark::testing::LogCapture capture;
  CreateResMonitor(MonitorInfoCheck);
  const auto registered = std::chrono::steady_clock::now();
  AddResource("RealClock", pointer(1));
  ASSERT_TRUE(capture.wait_for_text("\n[RealClock] count:1", 1, std::chrono::seconds(30)));
  EXPECT_GE(std::chrono::steady_clock::now() - registered, std::chrono::milliseconds(4900));
  DestroyResMonitor();
  EXPECT_EQ(capture.count_containing("Resource leak list\n[RealClock] count:1"), 1);
}

}  // namespace
