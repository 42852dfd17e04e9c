#include <utility>

#include "platform/platform.h"
#include "resmonitor/registry.h"

namespace resmonitor {

ResourceMonitor::ResourceMonitor(std::shared_ptr<CheckTiming> check_timing)
    : timing(check_timing ? std::move(check_timing) : make_system_check_timing()) {}

ResourceMonitor::~ResourceMonitor() {
  // Only reached with a running thread when the host never stopped it. Joining is safe here:
  // on Windows the library cannot be unloaded while a check thread exists (it holds a reference
  // to the library), and at process exit the exit handler abandons the monitor instead of
  // destroying it.
  // On Linux an unload runs this under the loader's lock, so the final report resolves nothing.
  tearing_down.store(true);
  stop_check();
  std::lock_guard<OwnedMutex> lock(registry_mutex);
  groups.clear();
}

int ResourceMonitor::Destroy() { return clear(); }

int ResourceMonitor::AddResource(const char* objName, void* obj) {
  const MonitorInfoLevel current = level.load();
  if (current == MonitorInfoNone) return 0;

  std::lock_guard<OwnedMutex> lock(registry_mutex);
  std::string name(objName);
  const auto found = groups.find(name);
  if (found != groups.end()) return found->second->add(objName, obj, current);

  auto group = std::make_unique<ResourceGroup>();
  group->add(objName, obj, current);
  groups.emplace(std::move(name), std::move(group));
  stamp_change();
  return 0;
}

void ResourceMonitor::SetMonitorInfoLevel(MonitorInfoLevel new_level) {
  level.store(new_level);
  if (new_level == MonitorInfoNone) {
    clear();
  } else if ((new_level & MonitorInfoCheck) != 0) {
    start_check(new_level);
  } else {
    stop_check();
  }
}

int ResourceMonitor::RemoveResource(const char* objName, void* obj) {
  std::lock_guard<OwnedMutex> lock(registry_mutex);
  const auto found = groups.find(objName);
  if (found == groups.end() || !found->second->contains(obj)) return 0;
  found->second->remove(obj);
  stamp_change();
  return 0;
}

int ResourceMonitor::GetObjResource(const char* objName, void* obj, ResMonitorInfo& info) {
  std::lock_guard<OwnedMutex> lock(registry_mutex);
  const auto found = groups.find(objName);
  if (found == groups.end()) return -1;
  return found->second->get(obj, info) == 0 ? 0 : -1;
}

int ResourceMonitor::GetObjNameResource(const char* objName, std::list<ResMonitorInfo>& out) {
  std::lock_guard<OwnedMutex> lock(registry_mutex);
  const auto found = groups.find(objName);
  if (found != groups.end()) found->second->append_all(out);
  return 0;
}

int ResourceMonitor::GetAllResource(std::list<ResMonitorInfo>& out) {
  std::lock_guard<OwnedMutex> lock(registry_mutex);
  for (auto& [name, group] : groups) group->append_all(out);
  return 0;
}

int ResourceMonitor::start_check(MonitorInfoLevel new_level) {
  level.store(new_level);
  // Stamped before a new thread can make its first pass, so that it never reports at once on
  // an older stamp: the first report comes a full quiet period after the start.
  stamp_change();
  if ((new_level & MonitorInfoCheck) == 0) return 0;

  std::lock_guard<std::mutex> lock(control_mutex);
  if (!check_thread) {
    // While the thread exists the library stays loaded: an unload would run our destructor under
    // the loader lock, where the join in stop_check cannot complete.
    auto reference = std::make_unique<quillmark::platform::LibraryReference>();
    stop_requested.store(false);
    check_thread = std::make_shared<std::thread>(&ResourceMonitor::check_loop, this);
    check_thread_reference = std::move(reference);
    while (!check_thread->joinable()) std::this_thread::yield();
  }
  return 0;
}

void ResourceMonitor::stop_check() {
  std::lock_guard<std::mutex> lock(control_mutex);
  if (!check_thread || !check_thread->joinable()) return;
  stop_requested.store(true);
  wake.notify_one();
  check_thread->join();
  check_thread.reset();
  // Only now that none of its code runs on the thread any more may the library go.
  check_thread_reference.reset();
}

int ResourceMonitor::clear() {
  stop_check();
  std::lock_guard<OwnedMutex> lock(registry_mutex);
  groups.clear();  // each group drops its entries' stacks as it goes
  return 0;
}

bool ResourceMonitor::busy_on_this_thread() const {
  return check_thread_id.load() == std::this_thread::get_id() ||
         registry_mutex.held_by_this_thread();
}

bool ResourceMonitor::check_thread_running() {
  std::lock_guard<std::mutex> lock(control_mutex);
  return check_thread != nullptr;
}

void ResourceMonitor::stamp_change() { last_change_us.store(timing->now_us()); }

}  // namespace resmonitor
