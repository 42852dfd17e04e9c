// The registry of running tasks: entries appended at creation, found by id at release, and
// compacted so that finished entries never pile up while the watchdog sleeps.
#include <utility>

#include "freezemonitor/freeze_monitor_impl.h"

namespace freezemonitor {

namespace {

// A release compacts the registry once at least this many finished entries make up half of it,
// which keeps releases constant-time on average and the registry at most twice its live size.
constexpr std::size_t kCompactionFloor = 32;

}  // namespace

void FreezeMonitorImpl::register_tracer(std::uint32_t id, FreezeEvent event) {
  const std::int64_t start = now_ticks();
  TraceRecord record{id,    freeze_ms.load(),      timeout_ms.load(),
                     start, TraceRecord::kRunning, std::move(event)};
  // The extras show the thread in the recent freezes.
  if (capture_stacks.load(std::memory_order_relaxed) ||
      extras.load(std::memory_order_relaxed) != 0) {
    record.thread = quillmark::platform::current_thread_id();
  }
  const std::int64_t due = first_due(record, start);
  RecordsLock lock(records_mutex);
  // Everything that may throw comes before the append, so a failure leaves no entry behind.
  running_index.reserve_one_more();
  records.push_back(std::move(record));
  running_index.insert(id, records.size() - 1);
  alarm_->bring_forward(due);
}

// Also on the watchdog (a tracer released by a log sink, or by exit handlers when a sink ends the
// process): the watchdog holds records_mutex only while it walks the records, never while it
// logs.
void FreezeMonitorImpl::end_trace(std::uint32_t id) {
  RecordsLock lock(records_mutex);
  const std::size_t position = running_index.take(id);
  if (position == RecordIndex::kNone) {
    // Reported as freezed: the record is finished, maybe dropped.
    if (!frozen_tasks.empty()) end_frozen_trace(id);
    return;
  }
  if (extra_on(kQuillmarkFreezeStatistics)) note_ended(records[position]);
  retire(position);
  pop_finished();
  if (finished_count >= kCompactionFloor && finished_count * 2 >= records.size()) drop_finished();
}

void FreezeMonitorImpl::mark_finished(std::size_t position) {
  TraceRecord& record = records[position];
  if (record.state == TraceRecord::kFinished) return;
  running_index.erase(record.id, position);
  retire(position);
}

void FreezeMonitorImpl::retire(std::size_t position) {
  records[position].state = TraceRecord::kFinished;
  ++finished_count;
}

void FreezeMonitorImpl::finish(std::size_t position) {
  mark_finished(position);
  pop_finished();
}

// The newest entry, the usual one to end first, leaves at once.
void FreezeMonitorImpl::pop_finished() {
  while (!records.empty() && records.back().state == TraceRecord::kFinished) {
    records.pop_back();
    --finished_count;
  }
}

void FreezeMonitorImpl::drop_finished() {
  std::size_t kept = 0;
  for (std::size_t at = 0; at < records.size(); ++at) {
    if (records[at].state == TraceRecord::kFinished) continue;
    if (at != kept) {
      records[kept] = std::move(records[at]);
      running_index.move(records[kept].id, at, kept);
    }
    ++kept;
  }
  records.erase(records.begin() + static_cast<std::ptrdiff_t>(kept), records.end());
  finished_count = 0;
}

void FreezeMonitorImpl::clear_records() {
  records.clear();
  running_index.clear();
  finished_count = 0;
}

std::vector<TraceRecord> FreezeMonitorImpl::records_snapshot() {
  RecordsLock lock(records_mutex);
  return records;
}

}  // namespace freezemonitor
