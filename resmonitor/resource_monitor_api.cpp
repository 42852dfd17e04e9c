#include <quillmark/resource_monitor.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "resmonitor/instance.h"

namespace resmonitor {
namespace detail {
namespace {

// Published with release once the owner is stored; read with acquire on every call, so the fast
// path needs no lock.
std::atomic<ResourceMonitor*> g_instance{nullptr};
// The shared owner. It lives on the heap, so that no static destructor of its own races
// release_instance (the order of exit-list handlers against static destructors is not the same
// with every run-time). Written only by create_instance (inside call_once) and by
// release_instance.
std::shared_ptr<ResourceMonitor>* g_owner = nullptr;
std::once_flag g_created;

void create_instance() {
  auto owner = std::make_unique<std::shared_ptr<ResourceMonitor>>(new ResourceMonitor());
  ResourceMonitor* monitor = owner->get();
  delete g_owner;
  g_owner = owner.release();
  g_instance.store(monitor, std::memory_order_release);
  guard_across_fork(monitor);
}

// Runs from the run-time's exit list when the library is unloaded or the process exits.
void release_instance() {
  if (quillmark::platform::other_threads_are_gone()) {
    // Windows process exit: every other thread has been killed wherever it was, maybe holding
    // the registry's locks or waiting on its condition variable; destroying the monitor could
    // block forever. The process is ending, so the memory is left to the system.
    return;
  }
  if (g_owner != nullptr && (*g_owner)->busy_on_this_thread()) {
    // The process is ending from inside the monitor's own work (a log sink on the check thread,
    // or a library that exits during a resolution under the registry's lock): destroying the
    // monitor would wait for this very thread. The memory is left to the system.
    guard_across_fork(nullptr);
    return;
  }
  guard_across_fork(nullptr);
  if (g_owner != nullptr && !(*g_owner)->stop_check_for_teardown()) {
    // Process exit while the check thread the host left running could not finish (a host
    // thread that exits inside its log sink holds the lock the thread waits for to log): the
    // thread still uses the monitor, so the monitor is left to the system with it.
    return;
  }
  delete g_owner;  // destroys the monitor
  g_owner = nullptr;
}

// Static initialisation puts this object's destructor on the run-time's exit list, tied to this
// library, so the release runs when the library is unloaded or the process exits.
struct ReleaseAtExit {
  ~ReleaseAtExit() { release_instance(); }
} g_release_at_exit;

}  // namespace

ResourceMonitor* monitor_instance() {
  if (ResourceMonitor* monitor = g_instance.load(std::memory_order_acquire)) return monitor;
  // A lambda rather than the function itself: its type is local, so the standard library code
  // instantiated for it stays private to the library instead of being exported.
  std::call_once(g_created, [] { create_instance(); });
  return g_instance.load(std::memory_order_acquire);
}

bool monitor_created() { return g_instance.load(std::memory_order_acquire) != nullptr; }

}  // namespace detail

namespace {

// Keeps a call in a non-tail position, so the exported function keeps its own frame in
// optimised builds: a recorded stack skips exactly the registry's frame and this one before it
// reaches the host's.
inline void keep_frame() { asm volatile("" ::: "memory"); }

}  // namespace

int CreateResMonitor(MonitorInfoLevel level) {
  return detail::monitor_instance()->start_check(level);
}

int DestroyResMonitor() { return detail::monitor_instance()->Destroy(); }

void SetMonitorInfoLevel(MonitorInfoLevel level) {
  detail::monitor_instance()->SetMonitorInfoLevel(level);
}

int AddResource(const char* objName, void* obj) {
  if (objName == nullptr || obj == nullptr) return -1;
  const int result = detail::monitor_instance()->AddResource(objName, obj);
  keep_frame();
  return result;
}

int RemoveResource(const char* objName, void* obj) {
  if (objName == nullptr || obj == nullptr) return -1;
  return detail::monitor_instance()->RemoveResource(objName, obj);
}

int GetObjResource(const char* objName, void* obj, ResMonitorInfo& info) {
  if (objName == nullptr || obj == nullptr) return -1;
  return detail::monitor_instance()->GetObjResource(objName, obj, info);
}

int GetObjNameResource(const char* objName, std::list<ResMonitorInfo>& out) {
  if (objName == nullptr) return -1;
  return detail::monitor_instance()->GetObjNameResource(objName, out);
}

int GetAllResource(std::list<ResMonitorInfo>& out) {
  return detail::monitor_instance()->GetAllResource(out);
}

}  // namespace resmonitor
