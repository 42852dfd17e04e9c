// Starting the watchdog when the system cannot create a thread. A suite of its own: the case needs
// a process whose monitor has not been asked for yet.
#include <quillmark/freeze_monitor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "freezemonitor/freeze_monitor_impl.h"
#include "support/log_capture.h"

namespace freezemonitor {
namespace {

std::atomic<int> g_launch_attempts{0};

std::thread launch_fails(std::function<void()>) {
  ++g_launch_attempts;
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                          "thread limit");
}

std::thread launch_std_thread(std::function<void()> body) {
  ++g_launch_attempts;
  return std::thread(std::move(body));
}

// The failure reaches the first caller; the next call starts the watchdog, which then reports.
TEST(FreezeWatchdogStart, FailedStartIsRetriedByTheNextCall) {
  quillmark::testing::LogCapture log;
  set_thread_launcher(&launch_fails);
  EXPECT_THROW(GetFreezeMonitor(), std::system_error);
  EXPECT_EQ(g_launch_attempts.load(), 1);

  set_thread_launcher(&launch_std_thread);
  FreezeMonitor* monitor = GetFreezeMonitor();
  EXPECT_EQ(g_launch_attempts.load(), 2);
  EXPECT_EQ(GetFreezeMonitor(), monitor);
  EXPECT_EQ(g_launch_attempts.load(), 2) << "a running watchdog is started once";

  monitor->SetThresholds(0, 0);
  auto tracer = monitor->CreateProjSaveTracer();
  EXPECT_TRUE(log.wait_for_text("task has freezed. event type is ProjSave, url: , use_gpu: 0."));
  monitor->SetThresholds(5000, 3000);
}

}  // namespace
}  // namespace freezemonitor
