#include "platform/platform.h"

#include <time.h>
#include <x86intrin.h>

#include <cstdio>
#include <cstring>

#include "platform/posix/tsc_clock.h"

namespace quillmark::platform {

namespace {
// 100 ns ticks between 1601-01-01 and 1970-01-01, so readings match the Windows clock's scale.
constexpr std::int64_t kEpochOffset100ns = 116444736000000000LL;

std::int64_t ticks_of(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}
}  // namespace

std::int64_t system_time_100ns() { return kEpochOffset100ns + posix::realtime_ns() / 100; }

std::int64_t awake_time_100ns() { return ticks_of(CLOCK_MONOTONIC); }

// Both clocks run at the same rate while the system is up, so the difference moves only when it
// resumes from a sleep (apart from the few ticks between the two reads).
std::int64_t asleep_time_100ns() { return ticks_of(CLOCK_BOOTTIME) - ticks_of(CLOCK_MONOTONIC); }

// The real-time clock cut to whole milliseconds, as the millisecond clock reads. (The coarse
// clock, a little cheaper, moves in steps of the scheduler tick, some 4 ms, which is more than
// the margin the leak check keeps past its quiet period.)
std::int64_t unix_time_us_from_ms_clock() { return posix::realtime_ns() / 1000000 * 1000; }

namespace posix {

namespace {

// The time-stamp counter is read directly only where the kernel itself keeps time with it and
// says it runs at one rate on every processor, through sleep states too.
bool counter_keeps_time() {
  char source[32] = {};
  if (FILE* file =
          std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "re")) {
    if (std::fgets(source, sizeof source, file) == nullptr) source[0] = '\0';
    std::fclose(file);
  }
  if (std::strncmp(source, "tsc", 3) != 0) return false;
  FILE* cpus = std::fopen("/proc/cpuinfo", "re");
  if (cpus == nullptr) return false;
  char line[4096];
  bool constant = false;
  bool nonstop = false;
  while (std::fgets(line, sizeof line, cpus) != nullptr && !(constant && nonstop)) {
    if (std::strncmp(line, "flags", 5) != 0) continue;
    constant = std::strstr(line, " constant_tsc") != nullptr;
    nonstop = std::strstr(line, " nonstop_tsc") != nullptr;
    break;
  }
  std::fclose(cpus);
  return constant && nonstop;
}

std::int64_t read_realtime_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::uint64_t read_counter() { return __rdtsc(); }

// Built at compile time (no guard a forked child could find held) and trivially destructible, so
// static destructors and other threads may read it at exit; and nothing is left behind when the
// library is unloaded.
TscClock process_clock_instance(&read_realtime_ns, &read_counter, &counter_keeps_time);

}  // namespace

TscClock& TscClock::process_clock() { return process_clock_instance; }

std::int64_t realtime_ns() { return TscClock::process_clock().now_ns(); }

}  // namespace posix

}  // namespace quillmark::platform
