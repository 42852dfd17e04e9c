// The process-wide monitor across fork(): a child of a busy host must find the registry unlocked
// and must not wait for a check thread that only its parent has.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "platform/fork.h"
#include "resmonitor/instance.h"

namespace resmonitor {

namespace {

// Whether the fork under way on this thread took control_mutex.
thread_local bool control_taken_for_fork = false;

}  // namespace

void ResourceMonitor::lock_for_fork() {
  // Waits for a start or stop of the check thread (a stop joins it), then for a name being
  // added, then for whoever works on the registry, then for registrations pooling or releasing
  // their stacks and queries releasing theirs, which take a store's lock alone.
  // A fork from the check thread's own log sink skips control_mutex: a stop may hold it while it
  // joins this very thread, which holds none of the monitor's locks while it logs.
  control_taken_for_fork = check_thread_id.load() != std::this_thread::get_id();
  if (control_taken_for_fork) control_mutex.lock();
  names_mutex.lock();
  lock_all_shards();
  stack_stores.lock_all();
}

void ResourceMonitor::unlock_after_fork() {
  stack_stores.unlock_all();
  unlock_all_shards();
  names_mutex.unlock();
  if (control_taken_for_fork) control_mutex.unlock();
}

void ResourceMonitor::forget_check_thread_after_fork() {
  // Called in the child with no other thread left: no lock is needed, and none may be waited for.
  if (!control_taken_for_fork) {
    // Forked on the check thread, whose copy is the child's one thread: it goes on as the
    // child's check thread. control_mutex may have been held by a stop that the child does not
    // have; a fresh one takes its place.
    new (&control_mutex) std::mutex();
    return;
  }
  if (check_thread) {
    quillmark::platform::abandon_thread(*check_thread);
    check_thread.reset();
  }
  check_thread_id.store(std::thread::id());
  // The parent's check thread may have been waiting on `wake`: the copy counts a waiter that
  // never comes back, and destroying it would wait for that waiter forever. A fresh one takes its
  // place; the old one is not destroyed, for that very reason.
  new (&wake) std::condition_variable();
}

namespace detail {
namespace {

// The monitor the fork steps guard; null before it exists and once it is gone.
std::atomic<ResourceMonitor*> g_guarded{nullptr};

void prepare() {
  if (ResourceMonitor* monitor = g_guarded.load()) monitor->lock_for_fork();
}

void in_parent() {
  if (ResourceMonitor* monitor = g_guarded.load()) monitor->unlock_after_fork();
}

void in_child() {
  if (ResourceMonitor* monitor = g_guarded.load()) {
    monitor->unlock_after_fork();
    monitor->forget_check_thread_after_fork();
  }
}

}  // namespace

void guard_across_fork(ResourceMonitor* monitor) {
  if (monitor == nullptr) {
    g_guarded.store(nullptr);
    return;
  }
  static const bool registered = [] {
    quillmark::platform::run_around_fork(&prepare, &in_parent, &in_child);
    return true;
  }();
  static_cast<void>(registered);
  g_guarded.store(monitor);
}

}  // namespace detail
}  // namespace resmonitor
