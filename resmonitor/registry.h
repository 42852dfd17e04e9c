// The resource registry behind the exported resmonitor functions: name groups of registered
// pointers, their recorded call stacks, and the check thread that reports what is still
// registered.
#pragma once

#include <quillmark/resource_monitor.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "callstack/cstack_info.h"
#include "platform/platform.h"
#include "platform/thread_end.h"
#include "resmonitor/check_timing.h"
#include "resmonitor/name_store.h"
#include "resmonitor/owned_mutex.h"
#include "resmonitor/registry_shard.h"
#include "resmonitor/registry_snapshot.h"
#include "resmonitor/resource_group.h"
#include "resmonitor/stack_stores.h"

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
  int GetResourceSites(std::list<ResourceSiteInfo>& out);

  // Stores the level, starts the check thread if bit 4 asks for one and none exists, and stamps
  // the change time. Returns 0.
  int start_check(MonitorInfoLevel new_level);
  // Stops and joins the check thread, if one exists. Never called with a registry lock held: the
  // thread's final report needs them.
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
  // or it holds a registry lock (a log sink, or a library the resolution calls, may end the
  // process from there). Teardown at exit must then leave the monitor to the operating system:
  // it would otherwise wait for the calling thread itself.
  bool busy_on_this_thread() const;

  // Around a fork (see resmonitor/fork_safety.cpp): the first takes control_mutex, names_mutex,
  // every slice's lock, then every stack store's lock (registrations pool their stacks and queries
  // release them without the registry's locks), so no thread holds any of them when the process
  // is copied; the second releases them all. The call-stack resolution lock has fork steps of its
  // own, taken after these. In the child, forget_check_thread_after_fork gives up the
  // parent's check thread, which the child does not have, so that the child can start its own.
  void lock_for_fork();
  void unlock_after_fork();
  void forget_check_thread_after_fork();

  MonitorInfoLevel current_level() const { return level.load(); }
  std::int64_t last_change() const { return last_change_us.load(); }
  bool check_thread_running();

 private:
  void stamp_change();
  // Whether a change made now must be stamped: whether a check thread may read the stamp.
  bool stamps_read() const;
  // timing->now_us(), for the stamps of changes.
  std::int64_t change_time_us();
  std::string build_report(MonitorInfoLevel form);
  // The slice that holds the registration of `obj`.
  RegistryShard& shard_of(const void* obj);
  // Every slice's lock, taken in slice order, for what must see the registry as one.
  void lock_all_shards();
  void unlock_all_shards();
  // The group of `name` in `shard`, which had none when `lock` (held, on the slice's lock) last
  // looked. Returns it with the lock held again; `new_name` tells whether the name was new to the
  // whole registry, which the caller stamps once its entry is in.
  ResourceGroup& group_new_to_shard(RegistryShard& shard, const char* name,
                                    std::unique_lock<OwnedMutex>& lock, bool& new_name);
  // The registry's copy of `name`, added when it is new (`new_name`), with the number of clears
  // so far: the copy lasts while that number stays.
  std::string_view keep_name(std::string_view name, bool& new_name, std::uint64_t& clears_seen);
  // Copies the entries of every group (or of one name), with every slice locked at once only
  // for the copy; the snapshot is then sorted (names byte-wise, pointers ascending) unless
  // `sorted` is false.
  void take_snapshot(RegistrySnapshot& snapshot,
                     std::optional<std::string_view> only_name = std::nullopt, bool sorted = true);
  // Calls visit(group) for every group, or for the groups of one name: with the slices locked by
  // the caller, or taking each slice's lock in turn.
  template <typename Visit>
  void for_each_group(std::optional<std::string_view> only_name, Visit&& visit);
  template <typename Visit>
  void for_each_group_locking_each(std::optional<std::string_view> only_name, Visit&& visit);
  template <typename Visit>
  static void visit_groups_of(RegistryShard& shard, std::optional<std::string_view> only_name,
                              Visit& visit);
  // Appends a query copy of every snapshot entry to `out`, stacks resolved.
  static void append_copies(const RegistrySnapshot& snapshot, std::list<ResMonitorInfo>& out);

  // Lock order: control_mutex, names_mutex, the slices' locks in slice order, a stack store's
  // stacks_mutex. The add path never holds names_mutex and a slice's lock together, and pools its
  // stack before it takes a slice's lock.
  // Declared before the slices, which release their entries' stacks into it as they go.
  StackStores stack_stores;
  static constexpr std::size_t kShardBits = 5;
  std::array<RegistryShard, std::size_t{1} << kShardBits> shards;
  // The names registered since the last clear(), each kept once: every group of a name refers
  // to its copy here. A name's first group starts the symbol handler and stamps the change.
  // Held only to look a name up or add it, never while a handler starts.
  std::mutex names_mutex;
  NameStore name_copies;                                // guarded by names_mutex
  std::set<std::string_view, std::less<>> known_names;  // in name_copies; guarded by names_mutex
  // How many times clear() has dropped the names; written with names_mutex and every slice's
  // lock held, so either suffices to read it.
  std::uint64_t clears = 0;
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
  // Whether `timing` is the system's, which change_time_us then reads directly.
  const bool system_clock;
  const std::shared_ptr<CheckTiming> timing;
};

}  // namespace resmonitor
