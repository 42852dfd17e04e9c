// Registrations from one call site share one recorded stack, and resolving it to text happens
// outside the registry's locks: both through the scripted debug-help seam.
#include <gtest/gtest.h>
#include <quillmark/resource_monitor.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "callstack/cstack_info.h"
#include "callstack/describe_stack_testing.h"
#include "callstack/symbol_handler.h"
#include "fake_debug_help.h"
#include "resmonitor/registry.h"
#include "support/gate.h"
#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

using quillmark::testing::ScopedFakeDebugHelp;
using resmonitor::CStackInfo;
using resmonitor::PooledStack;
using resmonitor::ResMonitorInfo;
using resmonitor::ResourceMonitor;

const std::vector<std::uint64_t> kSiteA = {0x1010, 0x2020, 0x3030, 0x4040};
const std::vector<std::uint64_t> kSiteB = {0x1010, 0x2020, 0x3131, 0x4040};

std::string header_of(const char* name, const void* obj) {
  char header[128];
  std::snprintf(header, sizeof header, "Frame %s[%016" PRIXPTR "]\n", name,
                reinterpret_cast<std::uintptr_t>(obj));
  return header;
}

std::string frames_of(const std::string& text) { return text.substr(text.find('\n') + 1); }

class PooledStacks : public ::testing::Test {
 protected:
  void SetUp() override {
    resmonitor::stack_testing::forget_loaded_modules();
    fake_->symbols[0x3030 - 1] = {"open_texture", 0x10};
    fake_->symbols[0x3131 - 1] = {"open_shader", 0x20};
    fake_->symbols[0x4040 - 1] = {"main", 0x30};
    fake_->back_trace = kSiteA;
    monitor_.SetMonitorInfoLevel(resmonitor::MonitorInfoStack);
  }

  std::string query(const char* name, void* obj) {
    ResMonitorInfo info;
    EXPECT_EQ(monitor_.GetObjResource(name, obj, info), 0);
    return info.callStack;
  }

  ScopedFakeDebugHelp fake_;
  ResourceMonitor monitor_;
  int first_ = 0;
  int second_ = 0;
};

TEST_F(PooledStacks, EqualCapturesArePooledOnceAndStayIdleForAWhileAfterTheirLastReference) {
  CStackInfo info;
  resmonitor::init_symbol_handler(info);
  const auto intern_capture = [&info] {
    CapturedFrames captured;
    resmonitor::capture_stack(StackContext{0}, captured);
    return resmonitor::intern_stack(info, captured);
  };
  PooledStack* first = intern_capture();
  PooledStack* second = intern_capture();
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->references, 2u);
  fake_->back_trace = kSiteB;
  PooledStack* other = intern_capture();
  EXPECT_NE(other, first);
  EXPECT_EQ(info.pool.size(), 2u);

  resmonitor::release_stack(info, first);
  EXPECT_EQ(info.pool.size(), 2u);
  resmonitor::release_stack(info, second);
  EXPECT_EQ(info.pool.size(), 1u);
  resmonitor::release_stack(info, other);
  EXPECT_EQ(info.pool.size(), 0u);
  EXPECT_EQ(info.pool.idle(), 2u);

  // A registration from a site seen a moment ago finds its stack (and any text) still pooled.
  PooledStack* again = intern_capture();
  EXPECT_EQ(again, other);
  EXPECT_EQ(info.pool.idle(), 1u);
  resmonitor::release_stack(info, again);

  // Idle stacks beyond the bound all leave: with the two idle ones, the last release here goes
  // over it.
  std::vector<PooledStack*> sites;
  for (std::uint64_t site = 0; site + 1 < resmonitor::StackPool::kMaxIdleStacks; ++site) {
    fake_->back_trace = {0x1010, 0x2020, 0x5000 + site, 0x4040};
    sites.push_back(intern_capture());
  }
  for (PooledStack* site : sites) resmonitor::release_stack(info, site);
  EXPECT_EQ(info.pool.size(), 0u);
  EXPECT_EQ(info.pool.idle(), 0u);

  // While a reader has the pool pinned (a registry snapshot holds stack pointers without
  // references), no stack leaves; the idle ones go at the last unpin.
  info.pool.pin();
  info.pool.pin();
  sites.clear();
  for (std::uint64_t site = 0; site < 2 * resmonitor::StackPool::kMaxIdleStacks; ++site) {
    fake_->back_trace = {0x1010, 0x2020, 0x6000 + site, 0x4040};
    sites.push_back(intern_capture());
  }
  for (PooledStack* site : sites) resmonitor::release_stack(info, site);
  EXPECT_EQ(info.pool.idle(), 2 * resmonitor::StackPool::kMaxIdleStacks);
  info.pool.unpin();
  EXPECT_EQ(info.pool.idle(), 2 * resmonitor::StackPool::kMaxIdleStacks);
  info.pool.unpin();
  EXPECT_EQ(info.pool.idle(), 0u);
}

// Entries that share a stack keep their own headers. A list query resolves into its copies
// only; the entries' own queries then find the frames' names without looking them up again, and
// removing one sharer leaves the others' text as it was.
TEST_F(PooledStacks, SharersKeepTheirHeadersAndShareOneResolution) {
  monitor_.AddResource("Texture", &first_);
  monitor_.AddResource("Texture", &second_);
  fake_->back_trace = kSiteB;
  int third = 0;
  monitor_.AddResource("Texture", &third);

  std::list<ResMonitorInfo> listed;
  monitor_.GetObjNameResource("Texture", listed);
  ASSERT_EQ(listed.size(), 3u);
  const int lookups = fake_->symbol_lookups;
  const std::string first_text = query("Texture", &first_);
  const std::string second_text = query("Texture", &second_);
  const std::string third_text = query("Texture", &third);
  EXPECT_EQ(fake_->symbol_lookups, lookups);
  for (const ResMonitorInfo& info : listed) EXPECT_EQ(query("Texture", info.obj), info.callStack);

  EXPECT_EQ(first_text.rfind(header_of("Texture", &first_), 0), 0u);
  EXPECT_EQ(second_text.rfind(header_of("Texture", &second_), 0), 0u);
  EXPECT_NE(frames_of(first_text).find("open_texture"), std::string::npos);
  EXPECT_EQ(frames_of(first_text), frames_of(second_text));
  EXPECT_NE(frames_of(first_text), frames_of(third_text));

  monitor_.RemoveResource("Texture", &first_);
  std::list<ResMonitorInfo> all;
  monitor_.GetAllResource(all);
  ASSERT_EQ(all.size(), 2u);
  for (const ResMonitorInfo& info : all) {
    EXPECT_EQ(info.callStack, info.obj == &second_ ? second_text : third_text);
  }
}

TEST_F(PooledStacks, FramesSeenInAnEarlierStackAreNotLookedUpAgain) {
  monitor_.AddResource("Texture", &first_);
  query("Texture", &first_);
  fake_->back_trace = kSiteB;  // shares its outer frame with site A
  monitor_.AddResource("Shader", &second_);
  const int lookups = fake_->symbol_lookups;
  const std::string text = query("Shader", &second_);
  EXPECT_EQ(fake_->symbol_lookups, lookups + 1);
  EXPECT_NE(text.find("open_shader"), std::string::npos);
  EXPECT_NE(text.find("main"), std::string::npos);
}

// A resolution held inside the symbol handler (a debug file that does not answer) leaves other
// threads free to register and remove, under its own name, another name and a new one.
// Every Debug Help call, the start-up of a new name's symbols included, waits for a resolution in
// progress; registrations under names that have their group never do.
TEST_F(PooledStacks, HeldResolutionDoesNotStallRegistrations) {
  int shader_seed = 0;
  monitor_.AddResource("Shader", &shader_seed);
  monitor_.RemoveResource("Shader", &shader_seed);
  quillmark::testing::Gate resolution;
  fake_->on_symbol_lookup = [&] { resolution.hold(); };
  monitor_.AddResource("Texture", &first_);
  std::string text;
  std::thread query_thread([&] { text = query("Texture", &first_); });
  ASSERT_TRUE(resolution.wait_until_held());

  std::vector<int> objects(64);
  std::thread registering([&] {
    for (int& obj : objects) monitor_.AddResource("Texture", &obj);
    for (int& obj : objects) monitor_.AddResource("Shader", &obj);
    for (int& obj : objects) monitor_.RemoveResource("Texture", &obj);
  });
  registering.join();  // would never return if registrations waited for the resolution
  monitor_.RemoveResource("Texture", &first_);  // the queried entry goes while it is resolved

  resolution.release();
  query_thread.join();
  fake_->on_symbol_lookup = nullptr;
  EXPECT_EQ(text.rfind(header_of("Texture", &first_), 0), 0u);
  EXPECT_NE(text.find("open_texture"), std::string::npos);
  std::list<ResMonitorInfo> all;
  monitor_.GetAllResource(all);
  EXPECT_EQ(all.size(), objects.size());  // the Shader registrations
}

// The start-up of a new name's symbols waits for the symbol handler (all its calls are
// serialised). That thread waits; the others keep registering under their names.
TEST_F(PooledStacks, NewNameWaitingForTheSymbolHandlerDoesNotStallOthers) {
  int texture_seed = 0;
  monitor_.AddResource("Texture", &texture_seed);
  monitor_.RemoveResource("Texture", &texture_seed);
  quillmark::testing::Gate start_up;  // holds the first start-up only
  fake_->on_initialize = [&] { start_up.hold(); };
  std::thread new_name([&] { monitor_.AddResource("Shader", &first_); });
  ASSERT_TRUE(start_up.wait_until_held());

  std::vector<int> objects(16);
  std::thread registering([&] {
    for (int& obj : objects) monitor_.AddResource("Texture", &obj);
    for (int& obj : objects) monitor_.RemoveResource("Texture", &obj);
  });
  registering.join();  // would never return if the registry waited for the start-up

  start_up.release();
  new_name.join();
  std::list<ResMonitorInfo> shaders;
  monitor_.GetObjNameResource("Shader", shaders);
  ASSERT_EQ(shaders.size(), 1u);
  EXPECT_EQ(shaders.front().obj, &first_);
}

#if !defined(_WIN32)
// A look-up that ends the process in the middle of a resolution (as libdw does when an allocation
// fails): the exit handlers must not wait for the exiting thread, which holds the symbol
// handler's lock. In a fresh process, whose alarm turns a hang into a failure.
TEST(PooledStacksDeathTest, ExitInsideAResolutionEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        alarm(20);
        static ScopedFakeDebugHelp help;
        help->back_trace = kSiteA;
        help->on_symbol_lookup = [] { std::exit(23); };
        static int object = 0;
        resmonitor::CreateResMonitor(resmonitor::MonitorInfoStack);
        resmonitor::AddResource("Exiting", &object);
        ResMonitorInfo info;
        resmonitor::GetObjResource("Exiting", &object, info);
      },
      ::testing::ExitedWithCode(23), "");
}
#endif

}  // namespace

// A new pooled stack notes the module of each shown frame; frames and stacks share one record per
// module, and the record goes with the last stack that had it.
TEST(FrameModules, SharedBetweenStacksAndFreedWithTheLast) {
  const auto in_executable = reinterpret_cast<std::uintptr_t>(&header_of) + 1;
  const auto capture = [](std::vector<std::uint64_t> frames) {
    CapturedFrames captured;
    captured.count = static_cast<std::uint32_t>(frames.size());
    std::copy(frames.begin(), frames.end(), captured.frames);
    captured.frames_hash = hash_of_frames(captured.frames, captured.count);
    return captured;
  };
  const std::size_t records_before = resmonitor::frame_module_count();
  {
    resmonitor::StackPool pool;
    const PooledStack* first =
        pool.intern(capture({in_executable, in_executable, in_executable, in_executable + 2}));
    const PooledStack* second = pool.intern(capture({1, 2, in_executable + 1, 0x10}));
    EXPECT_EQ(first->modules[0], nullptr) << "hidden frames are not looked up";
    ASSERT_NE(first->modules[2], nullptr);
    EXPECT_EQ(first->modules[3], first->modules[2]);
    EXPECT_NE(first->modules[2]->path.find(L"callstack_tests"), std::wstring::npos);
    EXPECT_EQ(second->modules[2], first->modules[2]);
    EXPECT_EQ(second->modules[3], nullptr) << "no module holds the address";
    EXPECT_EQ(resmonitor::frame_module_count(), records_before + 1);
  }
  EXPECT_EQ(resmonitor::frame_module_count(), records_before);
}
