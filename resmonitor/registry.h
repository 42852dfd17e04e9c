// The resource registry behind the exported resmonitor functions: name groups of registered
// pointers, their recorded call stacks, and the check thread that reports what is still
// registered.
#pragma once

#include <quillmark/resource_monitor.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "callstack/cstack_info.h"
#include "platform/platform.h"
#include "platform/thread_end.h"
#include "resmonitor/check_timing.h"
#include "resmonitor/group_snapshot.h"
#include "resmonitor/owned_mutex.h"

namespace resmonitor {

// The monitor's operations, in the slot order the exported functions rely on.
class IResourceMonitor {
 public:
  virtual ~IResourceMonitor() = default;
  virtual int Destroy() = 0;
  virtual int AddResource(const char* objName, void* obj) = 0;
  virtual void SetMonitorInfoLevel(MonitorInfoLevel level) = 0;
  virtual int RemoveResource(const char* objName, void* obj) = 0;
  virtual int GetObjResource(const char* objName, void* obj, ResMonitorInfo& info) = 0;
  virtual int GetObjNameResource(const char* objName, std::list<ResMonitorInfo>& out) = 0;
  virtual int GetAllResource(std::list<ResMonitorInfo>& out) = 0;
};

// One registration. `info.callStack` stays empty until GetObjResource resolves it.
struct ResourceEntry {
  ResMonitorInfo info;
  // A second owner of the group's store when a stack was recorded for this entry, else empty.
  std::shared_ptr<CStackInfo> stack_info;
  // The recorded stack, pooled in stack_info and shared with every registration of the group
  // that recorded the same frames; this entry holds one reference. Null when none was recorded.
  PooledStack* stack = nullptr;
};

// All registrations under one object name, with the store of their recorded stacks.
// Every operation takes group_mutex itself; callers hold the monitor's registry_mutex (except
// around the constructor, which starts the symbol handler and may wait for a resolution).
class ResourceGroup {
 public:
  // Creates the group's stack store and starts the symbol handler for it.
  ResourceGroup();
  ~ResourceGroup();
  ResourceGroup(const ResourceGroup&) = delete;
  ResourceGroup& operator=(const ResourceGroup&) = delete;

  // An entry made ready before any lock is taken, so that the allocation and the copying happen
  // outside them; inserted by add(), or freed by its owner when it was not needed.
  using PreparedEntry = std::map<void*, ResourceEntry>::node_type;
  static PreparedEntry prepare(const char* objName, void* obj);

  bool contains(void* obj);
  // Registers the prepared entry with the stack captured for it (null: none) unless its pointer
  // is registered already; then the first time and stack stay, and `entry` and `stack` are left
  // to the caller to free. Returns 0.
  int add(PreparedEntry& entry, std::unique_ptr<CallStack>& stack);
  // Takes the registration of `obj` out (its stack reference given up); empty when there was
  // none. The caller frees it, outside the locks.
  PreparedEntry remove(void* obj);
  // Adds a copy of the entry of `obj` to `into` (see GroupSnapshot), false when `obj` is not
  // registered.
  bool snapshot(void* obj, GroupSnapshot& into);
  // Adds a copy of every entry to `into`, pointers ascending.
  void snapshot_all(GroupSnapshot& into);
  // Keeps `text` as the stack text of `obj`, if it is still registered with `stack` and has no
  // text yet: the text GetObjResource resolved outside the locks.
  void keep_text(void* obj, const PooledStack* stack, const std::string& text);
  // Drops every entry and its recorded stack.
  void clear();
  // Around a fork: the stack store's lock, which queries also take outside the registry lock.
  void lock_stacks_for_fork() { stack_info->stacks_mutex.lock(); }
  void unlock_stacks_after_fork() { stack_info->stacks_mutex.unlock(); }

 private:
  std::mutex group_mutex;
  std::map<void*, ResourceEntry> entries;  // guarded by group_mutex
  // Created with the group and never replaced; its own stacks_mutex guards its content.
  const std::shared_ptr<CStackInfo> stack_info;
};

class ResourceMonitor final : public IResourceMonitor {
 public:
  // `timing` drives the change stamps and the check loop's passes; null means the system clock
  // and one-second passes.
  explicit ResourceMonitor(std::shared_ptr<CheckTiming> timing = nullptr);
  // Stops and joins a check thread that still runs, then releases every group. The thread's final
  // report is then written in the count form whatever the level: resolving stacks may need the
  // dynamic loader's lock, which an unload holds while it runs this destructor.
  ~ResourceMonitor() override;
  ResourceMonitor(const ResourceMonitor&) = delete;
  ResourceMonitor& operator=(const ResourceMonitor&) = delete;

  int Destroy() override;
  __attribute__((noinline)) int AddResource(const char* objName, void* obj) override;
  void SetMonitorInfoLevel(MonitorInfoLevel new_level) override;
  int RemoveResource(const char* objName, void* obj) override;
  int GetObjResource(const char* objName, void* obj, ResMonitorInfo& info) override;
  int GetObjNameResource(const char* objName, std::list<ResMonitorInfo>& out) override;
  int GetAllResource(std::list<ResMonitorInfo>& out) override;

  // Stores the level, starts the check thread if bit 4 asks for one and none exists, and stamps
  // the change time. Returns 0.
  int start_check(MonitorInfoLevel new_level);
  // Stops and joins the check thread, if one exists. Never called with registry_mutex held: the
  // thread's final report needs it.
  void stop_check();
  // Stops the check thread, then releases every group. The level and the stamp stay. Returns 0.
  int clear();
  // The first step of the monitor's destruction by the library's exit handler: stops the check
  // thread with its final report in the count form. False when the process is exiting and the
  // thread did not end within the grace period (it may wait for a lock the exiting thread holds,
  // see platform/thread_end.h): it is left running, and the monitor must then be left undestroyed.
  bool stop_check_for_teardown();

  // The check thread's body and the text of one leak report. The count form of the report
  // resolves no stack.
  void check_loop();
  std::string build_report();

  // Whether the calling thread is in the middle of the monitor's work: it is the check thread,
  // or it holds registry_mutex (a log sink, or a library the resolution calls, may end the
  // process from there). Teardown at exit must then leave the monitor to the operating system:
  // it would otherwise wait for the calling thread itself.
  bool busy_on_this_thread() const;

  // Around a fork (see resmonitor/fork_safety.cpp): the first takes control_mutex, then
  // registry_mutex, under which the group locks are taken, then every group's stack-store lock
  // (queries release their stacks without the registry lock), so no thread holds any of them when
  // the process is copied; the second releases them all. The call-stack resolution lock has fork
  // steps of its own, taken after these. In the child, forget_check_thread_after_fork gives up the
  // parent's check thread, which the child does not have, so that the child can start its own.
  void lock_for_fork();
  void unlock_after_fork();
  void forget_check_thread_after_fork();

  MonitorInfoLevel current_level() const { return level.load(); }
  std::int64_t last_change() const { return last_change_us.load(); }
  bool check_thread_running();

 private:
  void stamp_change();
  std::string build_report(MonitorInfoLevel form);
  // Copies every group's entries under registry_mutex, names in order.
  void snapshot_groups(std::list<GroupSnapshot>& parts);

  // Guards groups and everything reached through it. Taken after control_mutex; never held while
  // a stack is captured or resolved. Lock order: control_mutex, registry_mutex, a group's
  // group_mutex, a CStackInfo's stacks_mutex. It knows its owner, so that an exit on the thread
  // holding it never waits for it.
  OwnedMutex registry_mutex;
  // Keyed by the whole object name, byte-wise order; looked up by std::string_view without
  // building a string. Groups leave only through clear().
  std::map<std::string, std::unique_ptr<ResourceGroup>, std::less<>> groups;
  // The stamp of the last change the check thread is to report, in microseconds since 1970.
  std::atomic<std::int64_t> last_change_us{0};
  std::atomic<bool> stop_requested{false};
  // Notified once by stop_check; the check thread waits on it between passes.
  std::condition_variable wake;
  // Serialises starting and stopping of the check thread: guards check_thread. Held across the
  // join, which is safe because the check thread never takes it.
  std::mutex control_mutex;
  std::shared_ptr<std::thread> check_thread;  // guarded by control_mutex; empty when none
  // Keeps the library loaded while check_thread exists; dropped after the join. Guarded by
  // control_mutex.
  std::unique_ptr<quillmark::platform::LibraryReference> check_thread_reference;
  // Marked by the check thread as it ends; reset before each start under control_mutex.
  quillmark::platform::ThreadEnd check_thread_end;
  // Set by the check thread itself while it runs; read by busy_on_this_thread.
  std::atomic<std::thread::id> check_thread_id{};
  // Set by the destructor: the check thread's final report is then written in the count form.
  std::atomic<bool> tearing_down{false};
  // Read without a lock by the add path and the check thread.
  std::atomic<MonitorInfoLevel> level{MonitorInfoNone};
  const std::shared_ptr<CheckTiming> timing;
};

}  // namespace resmonitor
