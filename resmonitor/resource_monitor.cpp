#include <utility>

#include "platform/platform.h"
#include "resmonitor/registry.h"

namespace resmonitor {
namespace {

bool records_stacks(MonitorInfoLevel level) {
  return (level & (MonitorInfoStack | MonitorInfoDetail)) != 0;
}

// The stack of the registration in progress. Never inlined: its return address, inside
// AddResource, is where the recorded stack begins, as for every registration.
__attribute__((noinline)) std::unique_ptr<CallStack> capture_registration_stack() {
  return capture_stack(StackContext{QUILLMARK_RETURN_ADDRESS()});
}

}  // namespace

ResourceMonitor::ResourceMonitor(std::shared_ptr<CheckTiming> check_timing)
    : timing(check_timing ? std::move(check_timing) : make_system_check_timing()) {}

ResourceMonitor::~ResourceMonitor() {
  // The library's exit handler has stopped the thread already (stop_check_for_teardown); other
  // owners may still have one running. Joining is safe here: on Windows the library cannot be
  // unloaded while a check thread exists (it holds a reference to the library), and at process
  // exit the exit handler abandons the monitor instead of destroying it.
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

  // Taken before the registry lock, so that threads registering at once capture in parallel; a
  // registration that turns out to be a duplicate drops its stack.
  std::unique_ptr<CallStack> stack;
  if (records_stacks(current)) stack = capture_registration_stack();
  // Made (and, for a duplicate, freed) outside the locks, as is a duplicate's stack.
  ResourceGroup::PreparedEntry entry = ResourceGroup::prepare(objName, obj);

  const std::string_view name(objName);
  {
    std::lock_guard<OwnedMutex> lock(registry_mutex);
    const auto found = groups.find(name);
    if (found != groups.end()) return found->second->add(entry, stack);
  }
  // A new name. Its group starts the symbol handler, which may have to wait for a resolution in
  // progress, so it is made without the registry lock; should another thread add the name
  // meanwhile, that group is used and this one is dropped (after the lock is released).
  auto group = std::make_unique<ResourceGroup>();
  std::lock_guard<OwnedMutex> lock(registry_mutex);
  const auto found = groups.find(name);
  if (found != groups.end()) return found->second->add(entry, stack);
  group->add(entry, stack);
  groups.emplace(std::string(name), std::move(group));
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
  const std::string_view name(objName);
  // Read before the lock, so that the registry is held for the removal alone.
  const std::int64_t now_us = timing->now_us();
  ResourceGroup::PreparedEntry removed;  // freed after the lock is released
  std::lock_guard<OwnedMutex> lock(registry_mutex);
  const auto found = groups.find(name);
  if (found == groups.end()) return 0;
  removed = found->second->remove(obj);
  if (!removed.empty()) last_change_us.store(now_us);
  return 0;
}

int ResourceMonitor::GetObjResource(const char* objName, void* obj, ResMonitorInfo& info) {
  const std::string_view name(objName);
  GroupSnapshot part{std::string(name)};
  {
    std::lock_guard<OwnedMutex> lock(registry_mutex);
    const auto found = groups.find(name);
    if (found == groups.end() || !found->second->snapshot(obj, part)) return -1;
  }
  if (part.has_pending()) {
    part.resolve_texts();
    // Kept in the entry, so that later queries reuse it. An entry removed meanwhile still
    // answers this query: it was registered when the query began.
    std::lock_guard<OwnedMutex> lock(registry_mutex);
    const auto found = groups.find(name);
    if (found != groups.end()) {
      found->second->keep_text(obj, part.first_pending_stack(), part.copies.front().callStack);
    }
  }
  info = part.copies.front();
  return 0;
}

int ResourceMonitor::GetObjNameResource(const char* objName, std::list<ResMonitorInfo>& out) {
  const std::string_view name(objName);
  GroupSnapshot part{std::string(name)};
  {
    std::lock_guard<OwnedMutex> lock(registry_mutex);
    const auto found = groups.find(name);
    if (found == groups.end()) return 0;
    found->second->snapshot_all(part);
  }
  part.resolve_texts();
  out.splice(out.end(), part.copies);
  return 0;
}

int ResourceMonitor::GetAllResource(std::list<ResMonitorInfo>& out) {
  std::list<GroupSnapshot> parts;
  snapshot_groups(parts);
  for (GroupSnapshot& part : parts) {
    part.resolve_texts();
    out.splice(out.end(), part.copies);
  }
  return 0;
}

void ResourceMonitor::snapshot_groups(std::list<GroupSnapshot>& parts) {
  std::lock_guard<OwnedMutex> lock(registry_mutex);
  for (auto& [name, group] : groups) {
    parts.emplace_back(name);
    group->snapshot_all(parts.back());
  }
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
    check_thread_end.reset();
    check_thread = std::make_shared<std::thread>([this] {
      check_loop();
      check_thread_end.mark();
    });
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

bool ResourceMonitor::stop_check_for_teardown() {
  tearing_down.store(true);
  std::lock_guard<std::mutex> lock(control_mutex);
  if (!check_thread || !check_thread->joinable()) return true;
  stop_requested.store(true);
  wake.notify_one();
  if (!quillmark::platform::join_at_teardown(*check_thread, check_thread_end)) return false;
  check_thread.reset();
  check_thread_reference.reset();
  return true;
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
