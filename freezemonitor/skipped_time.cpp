// Time the watchdog could not run (the process was stopped or the system slept): left out of the
// running time of the tasks it overlaps, so that it alone never makes a task time out or freeze.
#include <core/log.h>

#include <algorithm>

#include "freezemonitor/freeze_monitor_impl.h"

namespace freezemonitor {

namespace {

constexpr std::int64_t kTicksPerMs = 10000;
constexpr int kSkippedTimeLevel = 5;

}  // namespace

// The skipped span ends at `until`; a task that began inside it (or after it) loses only the part
// since its start. Moving the start keeps this exact for later spans too: they come after every
// span already left out, so a start moved by those is still before them by as much as the task
// ran before them.
void leave_out(std::int64_t& start_ticks, const SkippedTime& skipped) {
  const std::int64_t since_start = skipped.until - start_ticks;
  if (since_start <= 0) return;
  start_ticks += std::min(skipped.ticks, since_start);
}

void log_skipped_time(const SkippedTime& skipped) {
  CoreLogPrintLog("ZOR", kSkippedTimeLevel, "FreezeMonitor", nullptr, nullptr, -1,
                  "watchdog could not run for %lld ms (process stopped or system asleep); that "
                  "time is not counted as tasks' running time.",
                  static_cast<long long>(skipped.ticks / kTicksPerMs));
}

}  // namespace freezemonitor

QUILLMARK_C_API bool SetFreezeSuspensionSkipEnabled(bool enabled) {
  return freezemonitor::freeze_monitor_instance().set_suspension_skip(enabled);
}
