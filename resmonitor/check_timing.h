// The clock and the pause of the resource monitor, behind one seam so that tests can drive the
// check loop's quiet period and passes without waiting seconds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>

namespace resmonitor {

class CheckTiming {
 public:
  virtual ~CheckTiming() = default;

  // The millisecond system clock as microseconds since 1970-01-01 UTC; stamps the registry's
  // changes and measures the quiet period.
  virtual std::int64_t now_us() = 0;

  // The pause between two passes of the check loop: returns when `wake` is notified or the pass
  // interval is over. `stop_requested` is the loop's stop flag, for pauses that cannot rely on
  // the notification (it is sent once and lost if nobody waits at that moment).
  virtual void wait_between_passes(std::condition_variable& wake,
                                   const std::atomic<bool>& stop_requested) = 0;
};

// The real thing: the platform's millisecond clock and a one-second wait on `wake` with a mutex
// of the wait's own.
std::shared_ptr<CheckTiming> make_system_check_timing();

}  // namespace resmonitor
