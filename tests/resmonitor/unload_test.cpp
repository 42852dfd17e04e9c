// Unloading the library and ending the process while the check thread still runs (the host
// forgot DestroyResMonitor), and plugging the library in and out again and again, each case in a
// child process of its own.
#include <gtest/gtest.h>

#include <quillmark/resource_monitor.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#if !defined(_WIN32)
#include <dirent.h>
#include <unistd.h>

#include <fstream>
#endif

#include "support/log_capture.h"
#include "tests/resmonitor/loaded_library.h"

namespace {

using resmonitor::testing::LoadedLibrary;

#if defined(_WIN32)
// Windows cannot join the thread while it unloads (loader lock), so the running check thread
// holds a reference to the library: FreeLibrary only drops the host's, and the thread goes on
// until the process ends. At exit the system has ended the thread before the library's exit
// handlers run, so no final report is written.
constexpr const char* kAfterUnloadWhileChecking = "unloaded: resident=1 leak_list=0 end=0";
constexpr const char* kAfterExitWhileChecking = "exiting with the check thread running";
#else
// The unload and the exit handlers join the thread, which writes its final report.
constexpr const char* kAfterUnloadWhileChecking = "unloaded: resident=0 leak_list=1 end=1";
constexpr const char* kAfterExitWhileChecking = "end check dbg";
#endif

// The exports, looked up by their decorated names as a host's import table would.
struct ResourceApi {
  explicit ResourceApi(const LoadedLibrary& library)
      : create(library.function<int(resmonitor::MonitorInfoLevel)>(
            "_ZN10resmonitor16CreateResMonitorENS_16MonitorInfoLevelE")),
        destroy(library.function<int()>("_ZN10resmonitor17DestroyResMonitorEv")),
        add(library.function<int(const char*, void*)>("_ZN10resmonitor11AddResourceEPKcPv")),
        get(library.function<int(const char*, void*, resmonitor::ResMonitorInfo&)>(
            "_ZN10resmonitor14GetObjResourceEPKcPvRNS_14ResMonitorInfoE")) {}

  bool complete() const { return create && destroy && add && get; }

  int (*create)(resmonitor::MonitorInfoLevel);
  int (*destroy)();
  int (*add)(const char*, void*);
  int (*get)(const char*, void*, resmonitor::ResMonitorInfo&);
};

void fail(const char* what) {
  std::fprintf(stderr, "failed: %s\n", what);
  std::exit(1);
}

struct Scenario {
  const char* name;
  resmonitor::MonitorInfoLevel level;
  bool destroy_first;  // the order the README asks for: stop the check thread, then unload
  bool unload;         // or end the process with everything still running
  const char* output;
};

// Registers one object at `level` and unloads or exits as the scenario says. With no reference
// left after the unload, the host calls nothing more, even where the running thread keeps the
// library mapped (Windows).
void run(const Scenario& scenario) {
  quillmark::testing::LogCapture capture;
  LoadedLibrary library(RESMONITOR_LIBRARY);
  const ResourceApi api(library);
  if (!library.loaded() || !api.complete()) fail("load");
  static int object = 0;
  api.create(scenario.level);
  api.add("Unloaded", &object);
  const bool checking = (scenario.level & resmonitor::MonitorInfoCheck) != 0;
  // With the check thread running, the stack stays unresolved for its final report.
  resmonitor::ResMonitorInfo info;
  if (!checking && (api.get("Unloaded", &object, info) != 0 || info.callStack.empty())) {
    fail("stack");
  }
  if (checking && !capture.wait_for_text("start check dbg")) fail("start line");
  if (scenario.destroy_first) {
    api.destroy();
    if (capture.count_containing("end check dbg") != 1) fail("end line");
  }
  if (!scenario.unload) {
    std::fprintf(stderr, "exiting with the check thread running\n");
    return;
  }
  library.unload();
  std::fprintf(stderr, "unloaded: resident=%d leak_list=%d end=%d\n",
               LoadedLibrary::resident(RESMONITOR_LIBRARY) ? 1 : 0,
               capture.count_containing("Resource leak list\n[Unloaded] count:1"),
               capture.count_containing("end check dbg"));
}

// The stacks case: the unload stops the check thread, whose final report must not need the
// loader's lock that the unload holds.
const Scenario kScenarios[] = {
    {"UnloadWhileTheCheckThreadRuns", resmonitor::MonitorInfoCheck, false, true,
     kAfterUnloadWhileChecking},
    {"UnloadWithRecordedStacksWhileTheCheckThreadRuns",
     resmonitor::MonitorInfoStack | resmonitor::MonitorInfoCheck, false, true,
     kAfterUnloadWhileChecking},
    {"UnloadAfterDestroyReleasesTheLibrary", resmonitor::MonitorInfoCheck, true, true,
     "unloaded: resident=0 leak_list=1 end=1"},
    {"UnloadWithoutCheckThreadReleasesTheLibrary", resmonitor::MonitorInfoStack, false, true,
     "unloaded: resident=0 leak_list=0 end=0"},
    {"ExitWhileTheCheckThreadRuns", resmonitor::MonitorInfoCheck, false, false,
     kAfterExitWhileChecking},
};

// A library loaded again after a real unload starts from nothing: a new monitor at level 0,
// whose registrations and stacks work as the first one's did.
void reload_after_unload() {
  static int object = 0;
  for (int round = 1; round <= 2; ++round) {
    LoadedLibrary library(RESMONITOR_LIBRARY);
    const ResourceApi api(library);
    if (!library.loaded() || !api.complete()) fail("load");
    resmonitor::ResMonitorInfo info;
    if (api.get("Reloaded", &object, info) != -1) fail("a registration survived the unload");
    api.create(resmonitor::MonitorInfoStack);
    api.add("Reloaded", &object);
    if (api.get("Reloaded", &object, info) != 0 || info.callStack.empty()) fail("stack");
    api.destroy();
    library.unload();
    std::fprintf(stderr, "round %d: resident=%d\n", round,
                 LoadedLibrary::resident(RESMONITOR_LIBRARY) ? 1 : 0);
  }
}

#if !defined(_WIN32)
int open_descriptors() {
  DIR* folder = opendir("/proc/self/fd");
  int count = 0;
  while (dirent* entry = readdir(folder)) count += entry->d_name[0] != '.';
  closedir(folder);
  return count - 1;  // the listing's own descriptor
}

long resident_kb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// Loads the library, registers with stacks, resolves them through a query, and unloads it.
void load_use_unload() {
  LoadedLibrary library(RESMONITOR_LIBRARY);
  const ResourceApi api(library);
  if (!library.loaded() || !api.complete()) fail("load");
  static int objects[2];
  api.create(resmonitor::MonitorInfoStack);
  for (int& object : objects) api.add("Cycled", &object);
  for (int& object : objects) {
    resmonitor::ResMonitorInfo info;
    if (api.get("Cycled", &object, info) != 0 ||
        info.callStack.find("load_use_unload") == std::string::npos) {
      fail(("unresolved stack: " + info.callStack).c_str());
    }
  }
  api.destroy();
  library.unload();
  if (LoadedLibrary::resident(RESMONITOR_LIBRARY)) fail("the library stayed loaded");
}

// Every cycle must end where it started: no descriptor or memory of the symbol handler stays.
// Descriptors are counted after the first cycle: the private unwinder the first capture opens
// stays loaded for the process (with the descriptors it keeps), whatever happens to quillmark.
// Memory may still grow after the warm-up by the allocator's and loader's own reuse, far below
// one cycle's worth of symbol data.
void cycle_and_count() {
  constexpr int kCycles = 30;
  constexpr int kWarmUpCycles = 5;
  int descriptors_before = 0;
  long resident_after_warm_up = 0;
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    load_use_unload();
    if (cycle == 1) descriptors_before = open_descriptors();
    if (cycle == kWarmUpCycles) resident_after_warm_up = resident_kb();
  }
  const long growth_kb = resident_kb() - resident_after_warm_up;
  const int descriptors_after = open_descriptors();
  std::fprintf(stderr, "descriptors: %s (%d -> %d)\n",
               descriptors_after == descriptors_before ? "unchanged" : "changed",
               descriptors_before, descriptors_after);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  (void)growth_kb;  // the sanitizers keep freed memory aside; the leak checker covers it
  std::fprintf(stderr, "memory: bounded\n");
#else
  constexpr long kMemoryGrowthLimitKb = 4 * 1024;
  std::fprintf(stderr, "memory: %s (%ld kB)\n",
               growth_kb <= kMemoryGrowthLimitKb ? "bounded" : "growing", growth_kb);
#endif
}
#endif

// Each case runs in a child process, which must end normally with the expected output; a
// regression that hangs fails the case by the alarm instead of stopping the suite.
void limit_child_time() {
#if !defined(_WIN32)
  alarm(30);
#endif
}

template <typename Body>
void expect_clean_end(Body body, const char* output) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        limit_child_time();
        body();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), output);
}

class ResourceMonitorLifetime : public ::testing::TestWithParam<Scenario> {};

TEST_P(ResourceMonitorLifetime, EndsCleanly) {
  expect_clean_end([this] { run(GetParam()); }, GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ResourceMonitorLifetime, ::testing::ValuesIn(kScenarios),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(ResourceMonitorReload, ReloadAfterUnloadStartsAfresh) {
  expect_clean_end(reload_after_unload, "round 1: resident=0\nround 2: resident=0");
}

#if !defined(_WIN32)
TEST(ResourceMonitorReload, CyclesLeaveNoDescriptorsAndBoundedMemory) {
  expect_clean_end(cycle_and_count, "descriptors: unchanged .*\nmemory: bounded");
}
#endif

}  // namespace
