// fork() while other threads of the host use the library: the resource registry is being changed
// and queried, the check thread runs and the freeze watchdog watches tracers that come and go.
// Every child must be able to register, query, start and stop its own check thread and tracers,
// and exit (which tears both monitors down). A child that hangs is ended by an alarm, so a
// regression fails the test instead of stopping it.
#include <gtest/gtest.h>

#include <quillmark/freeze_monitor.h>
#include <quillmark/resource_monitor.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <thread>
#include <vector>

// Read by the sanitizer run-times, so exported from the test program.
#define SANITIZER_HOOK extern "C" __attribute__((visibility("default")))

// A child's copies of what its parent's busy threads allocated (and of their per-thread state in
// libraries such as libcrypto, which libdw's helpers load) are reachable only from those threads,
// which the child does not have: the leak checker would count them at its exit. Full allocation
// stacks let the suppression see this file's frames.
SANITIZER_HOOK const char* __lsan_default_suppressions() {
  return "leak:fork_test.cpp\nleak:libcrypto.so\n";
}
SANITIZER_HOOK const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace {

using namespace resmonitor;

// The thread sanitizer cannot follow threads started in a child of a threaded parent (the child
// reuses the descriptors of its parent's threads); under it the children start none.
#if defined(__SANITIZE_THREAD__)
constexpr bool kChildStartsThreads = false;
#else
constexpr bool kChildStartsThreads = true;
#endif

constexpr int kChildren = 50;
constexpr unsigned kChildAlarmSeconds = 30;

// What each child checks; the exit code names the first step that failed.
int child_body() {
  static int object = 0;
  if (AddResource("ForkChild", &object) != 0) return 10;
  ResMonitorInfo info;
  if (GetObjResource("ForkChild", &object, info) != 0) return 11;
  if (info.callStack.rfind("Frame ForkChild[", 0) != 0) return 12;
  std::list<ResMonitorInfo> all;
  if (GetAllResource(all) != 0 || all.empty()) return 13;
  if (RemoveResource("ForkChild", &object) != 0) return 14;

  if (!kChildStartsThreads) return 0;
  // A check thread and a watchdog of the child's own; the parent's do not exist here.
  if (CreateResMonitor(static_cast<MonitorInfoLevel>(MonitorInfoStack | MonitorInfoCheck)) != 0) {
    return 15;
  }
  if (DestroyResMonitor() != 0) return 16;
  // The bus the watchdog posts to is the base library's; the child's tracer stays below the
  // thresholds, so nothing is posted.
  GetFreezeMonitor()->SetThresholds(60000, 30000);
  { auto tracer = GetFreezeMonitor()->CreateProjSaveTracer(); }
  return 0;
}

[[noreturn]] void run_child() {
  alarm(kChildAlarmSeconds);
  const int code = child_body();
  std::fflush(nullptr);
  std::exit(code);  // through the exit handlers, which tear the monitors down
}

std::string describe(int status) {
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) return "hung (ended by the alarm)";
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// A host thread that keeps the registry busy: adds, queries and removes.
void churn(int index, const std::atomic<bool>& stop) {
  const std::string name = "Busy" + std::to_string(index % 2);
  std::vector<int> objects(32);
  for (std::size_t round = 0; !stop.load(); ++round) {
    void* obj = &objects[round % objects.size()];
    AddResource(name.c_str(), obj);
    if (round % 8 == 0) {
      ResMonitorInfo info;
      GetObjResource(name.c_str(), obj, info);
    }
    if (round % 64 == 0) {
      std::list<ResMonitorInfo> all;
      GetAllResource(all);
    }
    RemoveResource(name.c_str(), obj);
  }
}

// A host thread that keeps the freeze registry busy, with thresholds low enough to report.
void trace(const std::atomic<bool>& stop) {
  freezemonitor::FreezeMonitor* monitor = GetFreezeMonitor();
  while (!stop.load()) {
    auto tracer = monitor->CreateEffectRenderTracer("fx://fork", 1);
  }
}

TEST(ForkWhileBusy, EveryChildRegistersQueriesAndExits) {
#if defined(__SANITIZE_ADDRESS__)
  // This address sanitizer's allocator keeps its own locks across fork(): a child whose parent had
  // a thread allocating at that moment waits for that lock for good, whatever the library does.
  GTEST_SKIP() << "the address sanitizer's allocator is not fork-safe with busy threads";
#endif
  CreateResMonitor(static_cast<MonitorInfoLevel>(MonitorInfoStack | MonitorInfoCheck));
  GetFreezeMonitor()->SetThresholds(1, 0);
  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (int i = 0; i < 3; ++i) busy.emplace_back(churn, i, std::cref(stop));
  busy.emplace_back(trace, std::cref(stop));

  std::vector<std::string> failures;
  for (int child = 0; child < kChildren; ++child) {
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) run_child();
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      failures.push_back("child " + std::to_string(child) + ": " + describe(status));
    }
  }

  stop.store(true);
  for (auto& thread : busy) thread.join();
  GetFreezeMonitor()->SetThresholds(5000, 3000);
  DestroyResMonitor();
  EXPECT_TRUE(failures.empty()) << failures.size() << " of " << kChildren
                                << " children failed, first: " << failures.front();
}

}  // namespace
