#include "platform/platform.h"

#include <time.h>

namespace quillmark::platform {

namespace {
// 100 ns ticks between 1601-01-01 and 1970-01-01, so readings match the Windows clock's scale.
constexpr std::int64_t kEpochOffset100ns = 116444736000000000LL;
}  // namespace

std::int64_t system_time_100ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return kEpochOffset100ns + static_cast<std::int64_t>(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

// The real-time clock cut to whole milliseconds, as the millisecond clock reads. (The coarse
// clock, a little cheaper, moves in steps of the scheduler tick, some 4 ms, which is more than
// the margin the leak check keeps past its quiet period.)
std::int64_t unix_time_us_from_ms_clock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000) * 1000;
}

}  // namespace quillmark::platform
