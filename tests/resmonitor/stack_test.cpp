// Call stacks of registrations, recorded and resolved for real. Also built in the optimised
// configuration, where it checks that the shown stack starts at the host's own function.
#include <gtest/gtest.h>

#include <quillmark/resource_monitor.h>

#include <cinttypes>
#include <cstdio>
#include <string>

namespace {

using namespace resmonitor;

volatile int g_last_result = 0;

// Stands for the host code that creates a texture. The store after the call keeps the call from
// becoming a jump, as any host code that uses the result does.
__attribute__((noinline)) void open_texture_in_host(void* texture) {
  g_last_result = AddResource("Texture", texture);
}

std::string header_of(const char* name, const void* obj) {
  char header[128];
  std::snprintf(header, sizeof header, "Frame %s[%016" PRIXPTR "]\n", name,
                reinterpret_cast<std::uintptr_t>(obj));
  return header;
}

std::string first_frame_line(const std::string& text) {
  const std::size_t start = text.find('\n') + 1;
  return text.substr(start, text.find('\n', start) - start);
}

class RecordedStacks : public ::testing::Test {
 protected:
  void TearDown() override { SetMonitorInfoLevel(MonitorInfoNone); }
  int texture = 0;
};

TEST_F(RecordedStacks, StackTextStartsAtTheHostFunctionAndIsKept) {
  SetMonitorInfoLevel(MonitorInfoStack);
  open_texture_in_host(&texture);
  ASSERT_EQ(g_last_result, 0);

  ResMonitorInfo info;
  ASSERT_EQ(GetObjResource("Texture", &texture, info), 0);
  ASSERT_EQ(info.callStack.rfind(header_of("Texture", &texture), 0), 0u) << info.callStack;
  EXPECT_NE(first_frame_line(info.callStack).find("open_texture_in_host"), std::string::npos)
      << info.callStack;
  EXPECT_EQ(info.callStack.find("AddResource"), std::string::npos)
      << "the registry's own frames are left out\n"
      << info.callStack;

  ResMonitorInfo again;
  ASSERT_EQ(GetObjResource("Texture", &texture, again), 0);
  EXPECT_EQ(again.callStack, info.callStack);
  std::list<ResMonitorInfo> listed;
  GetObjNameResource("Texture", listed);
  GetAllResource(listed);
  ASSERT_EQ(listed.size(), 2u);
  for (const auto& copy : listed) EXPECT_EQ(copy.callStack, info.callStack);
}

TEST_F(RecordedStacks, DetailLevelRecordsStacksToo) {
  SetMonitorInfoLevel(MonitorInfoDetail);
  open_texture_in_host(&texture);
  std::list<ResMonitorInfo> listed;
  GetAllResource(listed);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_NE(listed.front().callStack.find("open_texture_in_host"), std::string::npos)
      << listed.front().callStack;
}

TEST_F(RecordedStacks, RemovedAndAddedAgainGetsANewStack) {
  SetMonitorInfoLevel(MonitorInfoStack);
  AddResource("Texture", &texture);  // from the test body, not the host function
  RemoveResource("Texture", &texture);
  open_texture_in_host(&texture);
  ResMonitorInfo info;
  ASSERT_EQ(GetObjResource("Texture", &texture, info), 0);
  EXPECT_NE(first_frame_line(info.callStack).find("open_texture_in_host"), std::string::npos)
      << info.callStack;
}

}  // namespace
