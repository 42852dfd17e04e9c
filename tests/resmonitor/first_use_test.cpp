// Null arguments are rejected, and the monitor is created by the first call that passes its
// argument checks, not before.
// Its own process: no other test may have touched the monitor first.
#include <gtest/gtest.h>

#include <quillmark/resource_monitor.h>

#include "resmonitor/instance.h"

namespace {

TEST(MonitorFirstUse, RejectedCallsDoNotCreateTheMonitor) {
  int object = 0;
  resmonitor::ResMonitorInfo info;
  info.obj = &object;
  std::list<resmonitor::ResMonitorInfo> out(1);
  ASSERT_FALSE(resmonitor::detail::monitor_created());
  EXPECT_EQ(resmonitor::AddResource(nullptr, &object), -1);
  EXPECT_EQ(resmonitor::AddResource("A", nullptr), -1);
  EXPECT_EQ(resmonitor::RemoveResource(nullptr, &object), -1);
  EXPECT_EQ(resmonitor::RemoveResource("A", nullptr), -1);
  EXPECT_EQ(resmonitor::GetObjResource(nullptr, &object, info), -1);
  EXPECT_EQ(resmonitor::GetObjResource("A", nullptr, info), -1);
  EXPECT_EQ(resmonitor::GetObjNameResource(nullptr, out), -1);
  EXPECT_FALSE(resmonitor::detail::monitor_created());
  EXPECT_EQ(info.obj, &object) << "a rejected query leaves its output untouched";
  EXPECT_EQ(out.size(), 1u);

  EXPECT_EQ(resmonitor::AddResource("A", &object), 0);
  EXPECT_TRUE(resmonitor::detail::monitor_created());
  out.clear();
  resmonitor::GetAllResource(out);
  EXPECT_TRUE(out.empty()) << "a new monitor is at level 0";
}

}  // namespace
