// The watchdog thread: reports tasks that pass their thresholds, posts freeze events, and the
// monitor's teardown.
#include <core/async_event_bus.h>
#include <core/log.h>
#include <core/sleep.h>

#include <algorithm>
#include <utility>

#include "freezemonitor/freeze_monitor_impl.h"
#include "platform/fork.h"
#include "platform/platform.h"

namespace freezemonitor {

namespace {

constexpr double kTicksPerMs = 10000.0;
constexpr int kTimedOutLevel = 5;
constexpr int kFreezedLevel = 6;

void log_report(int level, const char* format, const FreezeEvent& event) {
  CoreLogPrintLog("ZOR", level, "FreezeMonitor", nullptr, nullptr, -1, format,
                  event_type_name(event.event_type), event.url, event.use_gpu ? 1 : 0);
}

}  // namespace

void FreezeMonitorImpl::start_watchdog() {
  if (thread_started.load() || thread_started.exchange(true)) return;
  // The watchdog runs this library's code until the monitor is destroyed; where an unload could
  // not join it, the library stays loaded instead.
  quillmark::platform::keep_library_loaded();
  watch_thread = std::thread([this] { watch_loop(); });
}

void FreezeMonitorImpl::watch_loop() {
  watchdog_id.store(std::this_thread::get_id());
  for (;;) {
    if (stopping.load()) return;
    core::safe_sleep_ms(check_interval_ms);
    if (stopping.load()) return;
    check_records();
  }
}

void FreezeMonitorImpl::check_records() {
  std::lock_guard<std::mutex> lock(records_mutex);
  for (auto& record : records) {
    if (record.state != TraceRecord::kFinished) check_record(record);
  }
  records.erase(std::remove_if(records.begin(), records.end(),
                               [](const TraceRecord& record) {
                                 return record.state == TraceRecord::kFinished;
                               }),
                records.end());
  completed_passes_.fetch_add(1);
}

// Both rules see the same elapsed time, so a late pass reports timed-out before freezed.
void FreezeMonitorImpl::check_record(TraceRecord& record) {
  const double elapsed_ms = static_cast<double>(now_ticks() - record.start_ticks) / kTicksPerMs;
  if (record.timeout_ms >= 1 && elapsed_ms >= static_cast<double>(record.timeout_ms)) {
    log_report(kTimedOutLevel, "task has timed out. event type is %s. url: %s. use_gpu: %d.",
               record.event);
    record.timeout_ms = TraceRecord::kTimeoutReported;
    if (post_timeout_event.load()) {
      record.event.kind = 0;
      post_event(record.event);
    }
  }
  if (elapsed_ms >= static_cast<double>(record.freeze_ms)) {
    log_report(kFreezedLevel, "task has freezed. event type is %s, url: %s, use_gpu: %d.",
               record.event);
    record.event.kind = 1;
    post_event(record.event);
    record.state = TraceRecord::kFinished;
  }
}

// Runs with records_mutex held; queueEvent takes only the bus's queueMutex.
void FreezeMonitorImpl::post_event(FreezeEvent event) {
  core::AsyncEventBus& bus = core::GetGlobalEventBus();
  bus.queueEvent(event);
  bus.wakeCondition.notify_one();
}

// At process exit on Windows the watchdog (and any host thread) may have been ended anywhere,
// even inside a pass holding records_mutex: a join or a lock would then never return, so the
// thread handle and a registry that cannot be locked are left to the operating system. The same
// holds when the process ends on the watchdog itself (a log sink or a listener that exits while
// a pass holds records_mutex): it cannot join itself, and it holds the lock.
FreezeMonitorImpl::~FreezeMonitorImpl() {
  monitor_alive.exchange(false);
  stopping.exchange(true);
  const bool exiting_on_watchdog = on_watchdog();
  const bool threads_gone = quillmark::platform::other_threads_are_gone() || exiting_on_watchdog;
  if (watch_thread.joinable()) {
    if (threads_gone) {
      quillmark::platform::abandon_thread(watch_thread);
    } else {
      watch_thread.join();
    }
  }
  if (exiting_on_watchdog) {
    // The pass under way holds records_mutex and will never resume: the records go with the
    // members, unlocked.
  } else if (!threads_gone) {
    std::lock_guard<std::mutex> lock(records_mutex);
    records.clear();
  } else if (records_mutex.try_lock()) {
    records.clear();
    records_mutex.unlock();
  } else {
    new std::vector<TraceRecord>(std::move(records));
  }
}

}  // namespace freezemonitor
