// The freeze monitor across fork(): the child finds the registry unlocked and starts a watchdog
// of its own instead of counting on (or, at exit, joining) its parent's.
#include <atomic>

#include "freezemonitor/freeze_monitor_impl.h"
#include "platform/fork.h"

namespace freezemonitor {

namespace {

// Whether the fork under way on this thread took records_mutex.
thread_local bool records_taken_for_fork = false;

}  // namespace

// records_mutex comes before the bus's queueMutex; the bus belongs to the base library, which
// keeps its own locks consistent across a fork. A fork on the watchdog (from a log sink called
// during a pass) skips records_mutex: the pass holds it already.
void FreezeMonitorImpl::lock_for_fork() {
  records_taken_for_fork = !on_watchdog();
  if (records_taken_for_fork) records_mutex.lock();
  alarm_->lock_for_fork();
}

void FreezeMonitorImpl::unlock_after_fork() {
  alarm_->unlock_after_fork();
  if (records_taken_for_fork) records_mutex.unlock();
}

void FreezeMonitorImpl::forget_watchdog_after_fork() {
  alarm_->forget_waiters_after_fork();
  // Forked on the watchdog: the child's one thread is its copy, inside a pass that holds
  // records_mutex, and it goes on as the child's watchdog.
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
