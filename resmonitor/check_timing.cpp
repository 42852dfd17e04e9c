#include "resmonitor/check_timing.h"

#include <chrono>
#include <mutex>

#include "platform/platform.h"

namespace resmonitor {
namespace {

class SystemCheckTiming final : public CheckTiming {
 public:
  std::int64_t now_us() override { return quillmark::platform::unix_time_us_from_ms_clock(); }

  // A notification that comes while nobody waits is lost; the stop is then seen at most one
  // interval later, which is why the interval stays short.
  void wait_between_passes(std::condition_variable& wake, const std::atomic<bool>&) override {
    std::mutex pause_mutex;
    std::unique_lock<std::mutex> lock(pause_mutex);
    wake.wait_for(lock, std::chrono::seconds(1));
  }
};

}  // namespace

std::shared_ptr<CheckTiming> make_system_check_timing() {
  return std::make_shared<SystemCheckTiming>();
}

}  // namespace resmonitor
