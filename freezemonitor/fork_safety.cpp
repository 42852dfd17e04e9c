// The freeze monitor across fork(): the child finds the registry unlocked and starts a watchdog
// of its own instead of counting on (or, at exit, joining) its parent's.
#include <atomic>

#include "freezemonitor/freeze_monitor_impl.h"
#include "platform/fork.h"

namespace freezemonitor {

// records_mutex comes before the bus's queueMutex; the bus belongs to the base library, which
// keeps its own locks consistent across a fork. No host code runs under records_mutex, so a fork
// from a log sink (on the watchdog too) never holds it already.
void FreezeMonitorImpl::lock_for_fork() {
  records_mutex.lock();
  recent_freezes.lock_for_fork();
  alarm_->lock_for_fork();
}

void FreezeMonitorImpl::unlock_after_fork() {
  alarm_->unlock_after_fork();
  recent_freezes.unlock_after_fork();
  records_mutex.unlock();
}

void FreezeMonitorImpl::forget_watchdog_after_fork() {
  alarm_->forget_waiters_after_fork();
  // Forked on the watchdog (from a log sink it called): the child's one thread is its copy, and
  // it goes on as the child's watchdog once the sink returns.
  if (on_watchdog()) return;
  if (watch_thread.joinable()) quillmark::platform::abandon_thread(watch_thread);
  watchdog_id.store(std::thread::id());
  thread_started.store(false);
}

namespace {

// The process-wide monitor once it exists. Its storage outlives its destruction, after which
// monitor_alive is false and the steps leave it alone.
std::atomic<FreezeMonitorImpl*> g_guarded{nullptr};

FreezeMonitorImpl* guarded() { return monitor_alive.load() ? g_guarded.load() : nullptr; }

void prepare() {
  if (FreezeMonitorImpl* monitor = guarded()) monitor->lock_for_fork();
}

void in_parent() {
  if (FreezeMonitorImpl* monitor = guarded()) monitor->unlock_after_fork();
}

void in_child() {
  if (FreezeMonitorImpl* monitor = guarded()) {
    monitor->unlock_after_fork();
    monitor->forget_watchdog_after_fork();
  }
}

}  // namespace

void guard_across_fork(FreezeMonitorImpl& monitor) {
  g_guarded.store(&monitor);
  quillmark::platform::run_around_fork(&prepare, &in_parent, &in_child);
}

}  // namespace freezemonitor
