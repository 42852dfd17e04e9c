// Many threads adding, removing and querying while the check thread keeps reporting; meant to be
// run under the thread and address sanitizers as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "resmonitor/registry.h"
#include "support/log_capture.h"

namespace resmonitor {
namespace {

// Every real microsecond counts as ten seconds, so nearly every pass finds the registry quiet
// long enough to report; a pass lasts a millisecond.
class RacingTiming final : public CheckTiming {
 public:
  std::int64_t now_us() override {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    return 1'000'000 +
           std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() * 10'000'000;
  }
  void wait_between_passes(std::condition_variable& wake, const std::atomic<bool>&) override {
    std::mutex pause_mutex;
    std::unique_lock<std::mutex> lock(pause_mutex);
    wake.wait_for(lock, std::chrono::milliseconds(1));
  }

 private:
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Adds and removes dominate, as in a host; queries (which resolve stacks, the costly part) come
// every few rounds. Counts every call as one operation.
void run_worker(ResourceMonitor& monitor, int worker, int operations, std::atomic<int>& failures) {
  const std::string name = "Stress" + std::to_string(worker % 3);
  std::vector<int> objects(16);
  int done = 0;
  for (int round = 0; done < operations; ++round) {
    void* obj = &objects[static_cast<std::size_t>(round) % objects.size()];
    monitor.AddResource(name.c_str(), obj);
    if (round % 32 == 0) {
      ResMonitorInfo info;
      if (monitor.GetObjResource(name.c_str(), obj, info) != 0 || info.obj != obj) ++failures;
      ++done;
    }
    if (round % 128 == 0) {
      std::list<ResMonitorInfo> listed;
      monitor.GetObjNameResource(name.c_str(), listed);
      monitor.GetAllResource(listed);
      done += 2;
    }
    monitor.RemoveResource(name.c_str(), obj);
    done += 2;
  }
}

TEST(ResourceMonitorStress, EightThreadsWhileTheCheckThreadReports) {
  constexpr int kThreads = 8;
  constexpr int kOperations = 100'000;
  quillmark::testing::LogCapture capture;
  ResourceMonitor monitor(std::make_shared<RacingTiming>());
  monitor.start_check(MonitorInfoCheck | MonitorInfoStack);
  int keep = 0;
  monitor.AddResource("Keep", &keep);  // so that every report has something to say

  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int worker = 0; worker < kThreads; ++worker) {
    workers.emplace_back(run_worker, std::ref(monitor), worker, kOperations / kThreads,
                         std::ref(failures));
  }
  for (auto& worker : workers) worker.join();

  EXPECT_EQ(failures.load(), 0);
  std::list<ResMonitorInfo> left;
  monitor.GetAllResource(left);
  ASSERT_EQ(left.size(), 1u) << "every worker removed what it added";
  EXPECT_TRUE(capture.wait_for_text("\n[Keep] count:1"));
  monitor.Destroy();
  EXPECT_EQ(capture.count_containing("Resource leak list\n[Keep] count:1"), 1);
}

}  // namespace
}  // namespace resmonitor
