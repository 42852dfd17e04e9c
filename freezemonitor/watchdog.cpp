// The watchdog thread: sleeps until a task can pass a threshold, reports the tasks that did,
// posts freeze events, and tears the monitor down.
#include <core/async_event_bus.h>
#include <core/log.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "freezemonitor/freeze_monitor_impl.h"
#include "platform/fork.h"
#include "platform/platform.h"

namespace freezemonitor {

namespace {

constexpr double kTicksPerMs = 10000.0;
constexpr int kTimedOutLevel = 5;
constexpr int kFreezedLevel = 6;
constexpr auto kPassWaitLimit = std::chrono::seconds(20);

std::thread launch_std_thread(std::function<void()> body) { return std::thread(std::move(body)); }

std::atomic<ThreadLauncher> thread_launcher{&launch_std_thread};

void log_report(int level, const char* format, const FreezeEvent& event) {
  CoreLogPrintLog("ZOR", level, "FreezeMonitor", nullptr, nullptr, -1, format,
                  event_type_name(event.event_type), report_url(event), event.use_gpu ? 1 : 0);
}

// The reading `ms` milliseconds after `now`, rounded up to a whole tick.
std::int64_t ticks_after(std::int64_t now, double ms) {
  const double ticks = std::ceil(ms * kTicksPerMs);
  if (ticks <= 0) return now;
  if (static_cast<double>(now) + ticks >= static_cast<double>(WatchdogAlarm::kNever)) {
    return WatchdogAlarm::kNever;
  }
  return now + static_cast<std::int64_t>(ticks);
}

}  // namespace

void set_thread_launcher(ThreadLauncher launcher) { thread_launcher.store(launcher); }

namespace {

std::int64_t first_threshold_ms(const TraceRecord& record) {
  return record.timeout_ms >= 1 ? std::min(record.freeze_ms, record.timeout_ms) : record.freeze_ms;
}

}  // namespace

std::int64_t next_due(const TraceRecord& record, std::int64_t now, double elapsed_ms) {
  return ticks_after(now, static_cast<double>(first_threshold_ms(record)) - elapsed_ms);
}

// Whole milliseconds need no rounding: integer arithmetic, for the tracer's creation.
std::int64_t first_due(const TraceRecord& record, std::int64_t start) {
  const std::int64_t threshold_ms = first_threshold_ms(record);
  if (threshold_ms <= 0) return start;
  constexpr std::int64_t kWholeTicksPerMs = 10000;
  if (threshold_ms >= (WatchdogAlarm::kNever - start) / kWholeTicksPerMs) {
    return WatchdogAlarm::kNever;
  }
  return start + threshold_ms * kWholeTicksPerMs;
}

// thread_started is set only once the thread runs, so a start that threw is tried again by the
// next GetFreezeMonitor.
void FreezeMonitorImpl::start_watchdog() {
  if (thread_started.load()) return;
  std::lock_guard<std::mutex> lock(start_mutex);
  if (thread_started.load()) return;
  // The watchdog runs this library's code until the monitor is destroyed; where an unload could
  // not join it, the library stays loaded instead.
  quillmark::platform::keep_library_loaded();
  watchdog_end.reset();
  watch_thread = thread_launcher.load()([this] {
    watch_loop();
    watchdog_end.mark();
  });
  thread_started.store(true);
}

void FreezeMonitorImpl::watch_loop() {
  watchdog_id.store(std::this_thread::get_id());
  std::vector<PassReport> reports;
  for (;;) {
    if (stopping.load()) return;
    SkippedTime skipped;
    if (!alarm_->wait_for_pass(skipped)) return;
    if (stopping.load()) return;
    check_records(skipped, reports);
    deliver(skipped, reports);
    sample_frozen_threads();
    deliver_recoveries();
    alarm_->pass_completed();
  }
}

bool FreezeMonitorImpl::run_pass() {
  return alarm_->wait_until_served(alarm_->request_pass(), kPassWaitLimit);
}

// The next due time is found while the lock still keeps new tracers out; they bring it forward
// themselves once the lock is free. Frozen tasks lose skipped time too, so that their recovery
// record gives the time they really ran.
void FreezeMonitorImpl::check_records(const SkippedTime& skipped,
                                      std::vector<PassReport>& reports) {
  RecordsLock lock(records_mutex);
  if (skipped.ticks > 0) {
    for (FrozenTask& task : frozen_tasks) leave_out(task.start_ticks, skipped);
    for (SampledTask& task : sampled_tasks) leave_out(task.start_ticks, skipped);
    recent_freezes.leave_out(skipped);
  }
  std::int64_t due = WatchdogAlarm::kNever;
  for (std::size_t at = 0; at < records.size(); ++at) {
    if (records[at].state != TraceRecord::kFinished) {
      if (skipped.ticks > 0) leave_out(records[at].start_ticks, skipped);
      due = std::min(due, check_record(at, reports));
    }
  }
  drop_finished();
  alarm_->set_due(due);
}

// Both rules see the same elapsed time, so a late pass reports timed-out before freezed.
std::int64_t FreezeMonitorImpl::check_record(std::size_t position,
                                             std::vector<PassReport>& reports) {
  TraceRecord& record = records[position];
  const std::int64_t now = now_ticks();
  const double elapsed_ms = static_cast<double>(now - record.start_ticks) / kTicksPerMs;
  if (record.timeout_ms >= 1 && elapsed_ms >= static_cast<double>(record.timeout_ms)) {
    record.timeout_ms = TraceRecord::kTimeoutReported;
    const bool post = post_timeout_event.load();
    if (post) record.event.kind = 0;
    reports.push_back({kTimedOutLevel,
                       "task has timed out. event type is %s. url: %s. use_gpu: %d.", record.event,
                       post, 0, elapsed_ms});
    note_timed_out(record);
  }
  if (elapsed_ms >= static_cast<double>(record.freeze_ms)) {
    record.event.kind = 1;
    // Tasks traced while capture was on get no stack record once it is off again.
    const bool with_stack = record.thread != 0 && capture_stacks.load();
    const bool sampled = with_stack && extra_on(kQuillmarkFreezeSampledStacks);
    reports.push_back({kFreezedLevel, "task has freezed. event type is %s, url: %s, use_gpu: %d.",
                       record.event, true, with_stack ? record.thread : 0, elapsed_ms});
    PassReport& report = reports.back();
    report.freeze_sequence = note_freeze(record, sampled);
    report.sample = sampled;
    report.id = record.id;
    report.start_ticks = record.start_ticks;
    finish(position);
    return WatchdogAlarm::kNever;
  }
  return next_due(record, now, elapsed_ms);
}

void FreezeMonitorImpl::deliver(const SkippedTime& skipped, std::vector<PassReport>& reports) {
  if (skipped.ticks > 0) log_skipped_time(skipped);
  for (PassReport& report : reports) {
    log_report(report.level, report.format, report.event);
    if (report.stack_thread != 0) {
      if (StackReporter report_stack = stack_reporter.load()) {
        std::string stack = report_stack(report.stack_thread, report.elapsed_ms);
        recent_freezes.set_stack(report.freeze_sequence, std::move(stack));
      }
    }
    if (report.sample) start_sampling(report);
    if (report.post) post_event(std::move(report.event));
  }
  reports.clear();
}

// queueEvent takes only the bus's queueMutex. A posted event never has a null url.
void FreezeMonitorImpl::post_event(FreezeEvent event) {
  if (event.url == nullptr) event.url = strdup("");
  core::AsyncEventBus& bus = core::GetGlobalEventBus();
  bus.queueEvent(event);
  bus.wakeCondition.notify_one();
}

// At process exit on Windows the watchdog (and any host thread) may have been ended anywhere,
// even inside a pass holding records_mutex: a join or a lock would then never return, so the
// thread handle and a registry that cannot be locked are left to the operating system. The
// thread handle is left too when the process ends on the watchdog itself (a log sink or a
// listener that exits while the watchdog reports): it cannot join itself. And at any process
// exit a watchdog that does not end within the grace period is left running (a host thread that
// exits inside its log sink holds the lock the watchdog waits for to log; see
// platform/thread_end.h): the alarm and the records it uses are then left undestroyed.
namespace {
// The alarm and records of a watchdog left to the process's end, never destroyed; kept here so
// that leak checkers see them reachable.
WatchdogAlarm* g_alarm_left_behind = nullptr;
std::vector<TraceRecord>* g_records_left_behind = nullptr;
}  // namespace

FreezeMonitorImpl::~FreezeMonitorImpl() {
  monitor_alive.exchange(false);
  stopping.exchange(true);
  const bool exiting_on_watchdog = on_watchdog();
  bool watchdog_left = quillmark::platform::other_threads_are_gone() || exiting_on_watchdog;
  if (watch_thread.joinable()) {
    if (watchdog_left) {
      quillmark::platform::abandon_thread(watch_thread);
    } else {
      alarm_->stop();
      watchdog_left = !quillmark::platform::join_at_teardown(watch_thread, watchdog_end);
    }
    // Left to the operating system (see alarm_).
    if (watchdog_left) g_alarm_left_behind = alarm_.release();
  }
  if (!watchdog_left) {
    // The signal handler must not outlive the library's code (Linux).
    if (capture_stacks.exchange(false)) quillmark::platform::disable_thread_capture();
    deliver_recoveries();
    log_statistics();
    RecordsLock lock(records_mutex);
    clear_records();
  } else if (records_mutex.try_lock()) {
    clear_records();
    records_mutex.unlock();
  } else {
    g_records_left_behind = new std::vector<TraceRecord>(std::move(records));
  }
}

}  // namespace freezemonitor
