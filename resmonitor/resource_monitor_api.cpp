#include <quillmark/resource_monitor.h>

#include <atomic>
#include <cstdlib>
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
// Written only by create_instance (inside call_once) and by release_instance at unload.
std::shared_ptr<ResourceMonitor> g_owner;
std::once_flag g_created;

void create_instance() {
  auto owner = std::make_shared<ResourceMonitor>();
  ResourceMonitor* monitor = owner.get();
  g_owner = std::move(owner);
  g_instance.store(monitor, std::memory_order_release);
}

// Runs from the run-time's exit list when the library is unloaded or the process exits.
void release_instance() {
  if (quillmark::platform::other_threads_are_gone()) {
    // Windows process exit: every other thread has been killed wherever it was, maybe holding
    // the registry's locks or waiting on its condition variable; destroying the monitor could
    // block forever. The process is ending, so the memory is left to the system.
    new std::shared_ptr<ResourceMonitor>(std::move(g_owner));
    return;
  }
  g_owner.reset();
}

// Registered during static initialisation, after g_owner is constructed, so it runs before
// g_owner's own destructor.
const int g_release_registered = std::atexit(&release_instance);

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
