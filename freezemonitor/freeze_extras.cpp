// The opt-in extras of freeze reports: the recovery record of a frozen task that ended, per-type
// statistics, and the recent freezes that a host can read back without parsing the log.
#include <core/log.h>

#include <algorithm>
#include <exception>
#include <new>
#include <utility>

#include "freezemonitor/freeze_monitor_impl.h"

namespace freezemonitor {

namespace {

constexpr std::int64_t kTicksPerMs = 10000;
constexpr int kRecoveredLevel = 5;
constexpr int kStatisticsLevel = 5;
constexpr unsigned kKnownExtras =
    kQuillmarkFreezeRecovery | kQuillmarkFreezeSampledStacks | kQuillmarkFreezeStatistics;
// Frozen tasks remembered until their release; a host that leaves more hanging than this has
// bigger worries than the oldest one's recovery record.
constexpr std::size_t kMostFrozenTasks = 4096;

std::int64_t whole_ms(std::int64_t ticks) { return ticks / kTicksPerMs; }

void log_recovery(const RecoveryReport& recovery) {
  CoreLogPrintLog("ZOR", kRecoveredLevel, "FreezeMonitor", nullptr, nullptr, -1,
                  "task has recovered after %lld ms. event type is %s, url: %s, use_gpu: %d.",
                  static_cast<long long>(recovery.duration_ms),
                  event_type_name(recovery.event.event_type), report_url(recovery.event),
                  recovery.event.use_gpu ? 1 : 0);
}

void log_figures(const TypeFigures& figures) {
  CoreLogPrintLog(
      "ZOR", kStatisticsLevel, "FreezeMonitor", nullptr, nullptr, -1,
      "freeze statistics of %s: %llu tasks, %llu timed out, %llu freezed; durations "
      "p50 %lld ms, p95 %lld ms, max %lld ms.",
      event_type_name(figures.event_type), static_cast<unsigned long long>(figures.tasks),
      static_cast<unsigned long long>(figures.timed_out),
      static_cast<unsigned long long>(figures.freezed), static_cast<long long>(figures.p50_ms),
      static_cast<long long>(figures.p95_ms), static_cast<long long>(figures.max_ms));
}

QuillmarkRecentFreeze shown(const RecentFreeze& entry, std::int64_t now) {
  QuillmarkRecentFreeze freeze{};
  freeze.sequence = entry.sequence;
  freeze.event_type = entry.event.event_type;
  freeze.use_gpu = entry.event.use_gpu ? 1 : 0;
  freeze.param1 = entry.event.param1;
  freeze.param2 = entry.event.param2;
  freeze.url = report_url(entry.event);
  freeze.thread_id = entry.thread;
  freeze.recovered = entry.final_ms >= 0 ? 1 : 0;
  freeze.duration_ms = freeze.recovered ? entry.final_ms : whole_ms(now - entry.start_ticks);
  freeze.stack = entry.stack.c_str();
  freeze.samples = entry.samples.c_str();
  return freeze;
}

}  // namespace

// Under records_mutex, so that no count falls between clearing and switching on.
unsigned FreezeMonitorImpl::set_extras(unsigned wanted) {
  const unsigned now_on = wanted & kKnownExtras;
  RecordsLock lock(records_mutex);
  const unsigned before = extras.exchange(now_on);
  if ((now_on & ~before & kQuillmarkFreezeStatistics) != 0) task_statistics.clear();
  return now_on;
}

void FreezeMonitorImpl::note_timed_out(const TraceRecord& record) {
  if (extra_on(kQuillmarkFreezeStatistics))
    task_statistics.count_timed_out(record.event.event_type);
}

// Frozen tasks are few, so the ring entry and the wait for the release cost nothing that
// matters; they are kept with every extra off too, for VisitRecentFreezes.
std::uint64_t FreezeMonitorImpl::note_freeze(const TraceRecord& record, bool sampled) {
  if (extra_on(kQuillmarkFreezeStatistics)) task_statistics.count_freezed(record.event.event_type);
  const std::uint64_t sequence =
      recent_freezes.add(record.event, record.thread, record.start_ticks);
  try {
    if (frozen_tasks.size() >= kMostFrozenTasks) frozen_tasks.erase(frozen_tasks.begin());
    frozen_tasks.push_back({record.id, record.start_ticks, record.event, sequence, sampled});
  } catch (const std::bad_alloc&) {
    // Without memory the task's release goes unnoticed; the report itself goes on.
  }
  return sequence;
}

void FreezeMonitorImpl::note_ended(const TraceRecord& record) {
  task_statistics.count_ended(record.event.event_type, whole_ms(now_ticks() - record.start_ticks));
}

// The recovery record is logged by the watchdog: the releasing thread may hold a lock of its own
// that the log sink needs.
void FreezeMonitorImpl::end_frozen_trace(std::uint32_t id) {
  const auto found = std::find_if(frozen_tasks.begin(), frozen_tasks.end(),
                                  [id](const FrozenTask& task) { return task.id == id; });
  if (found == frozen_tasks.end()) return;
  const std::int64_t duration_ms = whole_ms(now_ticks() - found->start_ticks);
  recent_freezes.set_ended(found->freeze_sequence, duration_ms);
  if (extra_on(kQuillmarkFreezeStatistics)) {
    task_statistics.count_ended(found->event.event_type, duration_ms);
  }
  if (found->sampled) {
    try {
      ended_sampled_tasks.push_back({id, duration_ms});
      alarm_->request_pass();
    } catch (const std::bad_alloc&) {
      // No memory: the samples are logged when the bound is reached instead.
    }
  }
  if (extra_on(kQuillmarkFreezeRecovery)) {
    try {
      recoveries.push_back({std::move(found->event), duration_ms});
      alarm_->request_pass();
    } catch (const std::bad_alloc&) {
      // No memory for the record: the task ends without it.
    }
  }
  frozen_tasks.erase(found);
}

void FreezeMonitorImpl::deliver_recoveries() {
  std::vector<RecoveryReport> ready;
  {
    RecordsLock lock(records_mutex);
    ready.swap(recoveries);
  }
  for (const RecoveryReport& recovery : ready) log_recovery(recovery);
}

// The percentiles are worked out on a copy, outside records_mutex.
std::vector<TypeFigures> FreezeMonitorImpl::statistics() {
  TaskStatistics copy;
  {
    RecordsLock lock(records_mutex);
    copy = task_statistics;
  }
  return copy.figures();
}

void FreezeMonitorImpl::log_statistics() {
  if (!extra_on(kQuillmarkFreezeStatistics)) return;
  for (const TypeFigures& figures : statistics()) log_figures(figures);
}

std::size_t FreezeMonitorImpl::visit_recent_freezes(QuillmarkRecentFreezeVisitor visit,
                                                    void* context) {
  const std::vector<RecentFreeze> entries = recent_freezes.newest_first();
  if (visit == nullptr) return entries.size();
  const std::int64_t now = now_ticks();
  for (const RecentFreeze& entry : entries) {
    const QuillmarkRecentFreeze freeze = shown(entry, now);
    visit(&freeze, context);
  }
  return entries.size();
}

}  // namespace freezemonitor

QUILLMARK_C_API unsigned SetFreezeReportExtras(unsigned extras) {
  return freezemonitor::freeze_monitor_instance().set_extras(extras);
}

// Without memory for the copy the answer is 0, as if nothing had been counted.
QUILLMARK_C_API std::size_t GetFreezeStatistics(QuillmarkFreezeTypeStatistics* buffer,
                                                std::size_t capacity) {
  std::vector<freezemonitor::TypeFigures> all;
  try {
    all = freezemonitor::freeze_monitor_instance().statistics();
  } catch (const std::exception&) {
    return 0;
  }
  if (buffer == nullptr) capacity = 0;
  for (std::size_t at = 0; at < all.size() && at < capacity; ++at) {
    const freezemonitor::TypeFigures& figures = all[at];
    buffer[at] = {figures.event_type, figures.tasks,  figures.timed_out, figures.freezed,
                  figures.p50_ms,     figures.p95_ms, figures.max_ms};
  }
  return all.size();
}

// Without memory for the copy no freeze is visited and the answer is 0.
QUILLMARK_C_API std::size_t VisitRecentFreezes(QuillmarkRecentFreezeVisitor visit, void* context) {
  try {
    return freezemonitor::freeze_monitor_instance().visit_recent_freezes(visit, context);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}
