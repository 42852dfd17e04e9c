// Unloading the library and ending the process while the check thread still runs (the host
// forgot DestroyResMonitor). Each case runs in a child process of its own: a hang fails it by
// the suite's time limit, a crash by the exit code.
#include <gtest/gtest.h>

#include <quillmark/resource_monitor.h>

#include <cstdio>
#include <cstdlib>
#if !defined(_WIN32)
#include <unistd.h>
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

void print_state(const char* when, const quillmark::testing::LogCapture& capture) {
  std::fprintf(stderr, "%s: resident=%d leak_list=%d end=%d\n", when,
               LoadedLibrary::resident(RESMONITOR_LIBRARY) ? 1 : 0,
               capture.count_containing("Resource leak list\n[Unloaded] count:1"),
               capture.count_containing("end check dbg"));
}

void unload_while_checking() {
  quillmark::testing::LogCapture capture;
  LoadedLibrary library(RESMONITOR_LIBRARY);
  const ResourceApi api(library);
  if (!library.loaded() || !api.complete()) fail("load");
  static int object = 0;
  api.create(resmonitor::MonitorInfoCheck);
  api.add("Unloaded", &object);
  if (!capture.wait_for_text("start check dbg")) fail("start line");
  library.unload();
  // The host has no reference left, so it must not call the library any more, even where the
  // running thread keeps it mapped.
  print_state("unloaded", capture);
}

// The order the README asks for: stop the check thread, then unload. Nothing of the library may
// stay behind.
void unload_after_destroy() {
  quillmark::testing::LogCapture capture;
  LoadedLibrary library(RESMONITOR_LIBRARY);
  const ResourceApi api(library);
  if (!library.loaded() || !api.complete()) fail("load");
  static int object = 0;
  api.create(resmonitor::MonitorInfoCheck);
  api.add("Unloaded", &object);
  if (!capture.wait_for_text("start check dbg")) fail("start line");
  api.destroy();
  if (capture.count_containing("end check dbg") != 1) fail("end line");
  library.unload();
  print_state("unloaded after destroy", capture);
}

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

// The host forgot DestroyResMonitor and stacks were recorded: the unload stops the check thread,
// whose final report must not need the loader's lock that the unload holds.
void unload_with_stacks_while_checking() {
  quillmark::testing::LogCapture capture;
  LoadedLibrary library(RESMONITOR_LIBRARY);
  const ResourceApi api(library);
  if (!library.loaded() || !api.complete()) fail("load");
  static int object = 0;
  api.create(resmonitor::MonitorInfoStack | resmonitor::MonitorInfoCheck);
  api.add("Unloaded", &object);
  if (!capture.wait_for_text("start check dbg")) fail("start line");
  library.unload();
  // As in unload_while_checking: with no reference left the host calls nothing more, even where
  // the running thread keeps the library mapped (Windows).
  print_state("unloaded", capture);
}

void unload_without_check_thread() {
  LoadedLibrary library(RESMONITOR_LIBRARY);
  const ResourceApi api(library);
  if (!library.loaded() || !api.complete()) fail("load");
  static int object = 0;
  api.create(resmonitor::MonitorInfoStack);
  api.add("Unloaded", &object);
  resmonitor::ResMonitorInfo info;
  if (api.get("Unloaded", &object, info) != 0 || info.callStack.empty()) fail("stack");
  library.unload();
  std::fprintf(stderr, "unloaded: resident=%d\n", LoadedLibrary::resident(RESMONITOR_LIBRARY));
}

void exit_while_checking() {
  LoadedLibrary library(RESMONITOR_LIBRARY);
  const ResourceApi api(library);
  if (!library.loaded() || !api.complete()) fail("load");
  static int object = 0;
  api.create(resmonitor::MonitorInfoCheck);
  api.add("Exiting", &object);
  std::fprintf(stderr, "exiting with the check thread running\n");
}

// Ends a child that hangs, so that a regression fails the case instead of stopping the suite.
void limit_child_time() {
#if !defined(_WIN32)
  alarm(30);
#endif
}

class ResourceMonitorLifetime : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  // Runs `scenario` in a child process, which must end normally with `output` on its streams.
  static void expect_clean_end(void (*scenario)(), const char* output) {
    EXPECT_EXIT(
        {
          scenario();
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), output);
  }
};

TEST_F(ResourceMonitorLifetime, UnloadWhileTheCheckThreadRuns) {
  expect_clean_end(unload_while_checking, kAfterUnloadWhileChecking);
}

TEST_F(ResourceMonitorLifetime, UnloadAfterDestroyReleasesTheLibrary) {
  expect_clean_end(unload_after_destroy, "unloaded after destroy: resident=0 leak_list=1 end=1");
}

TEST_F(ResourceMonitorLifetime, ReloadAfterUnloadStartsAfresh) {
  expect_clean_end(reload_after_unload, "round 1: resident=0\nround 2: resident=0");
}

TEST_F(ResourceMonitorLifetime, UnloadWithRecordedStacksWhileTheCheckThreadRuns) {
  expect_clean_end(
      [] {
        limit_child_time();
        unload_with_stacks_while_checking();
      },
      kAfterUnloadWhileChecking);
}

TEST_F(ResourceMonitorLifetime, UnloadWithoutCheckThreadReleasesTheLibrary) {
  expect_clean_end(unload_without_check_thread, "unloaded: resident=0");
}

TEST_F(ResourceMonitorLifetime, ExitWhileTheCheckThreadRuns) {
  expect_clean_end(exit_while_checking, kAfterExitWhileChecking);
}

}  // namespace
