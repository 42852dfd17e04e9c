#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <utility>

#include "callstack/describe_stack.h"
#include "callstack/symbol_handler.h"
#include "platform/platform.h"
#include "resmonitor/registry.h"
#include "resmonitor/report_text.h"
#include "resmonitor/resource_sites.h"

namespace resmonitor {
namespace {

bool records_stacks(MonitorInfoLevel level) {
  return (level & (MonitorInfoStack | MonitorInfoDetail)) != 0;
}

// A new name starts the symbol handler, as its first registration always has: a start that
// failed before is tried again, and reported again if it fails. The stack stores share the
// handler.
void start_symbol_handler_for_new_name() {
  CStackInfo for_the_start;
  init_symbol_handler(for_the_start);
}

// The stack of the registration in progress. Never inlined: its return address, inside
// AddResource, is where the recorded stack begins, as for every registration.
__attribute__((noinline)) void capture_registration_stack(CapturedFrames& out) {
  capture_stack(StackContext{QUILLMARK_RETURN_ADDRESS()}, out);
}

}  // namespace

ResourceMonitor::ResourceMonitor(std::shared_ptr<CheckTiming> check_timing)
    : system_clock(check_timing == nullptr),
      timing(check_timing ? std::move(check_timing) : make_system_check_timing()) {}

std::int64_t ResourceMonitor::change_time_us() {
  // Every removal stamps the registry: the system clock is read without the virtual call.
  return system_clock ? quillmark::platform::unix_time_us_from_ms_clock() : timing->now_us();
}

ResourceMonitor::~ResourceMonitor() {
  // The library's exit handler has stopped the thread already (stop_check_for_teardown); other
  // owners may still have one running. Joining is safe here: on Windows the library cannot be
  // unloaded while a check thread exists (it holds a reference to the library), and at process
  // exit the exit handler abandons the monitor instead of destroying it.
  // On Linux an unload runs this under the loader's lock, so the final report resolves nothing.
  tearing_down.store(true);
  stop_check();
  lock_all_shards();
  for (RegistryShard& shard : shards) shard.clear();
  unlock_all_shards();
}

int ResourceMonitor::Destroy() { return clear(); }

RegistryShard& ResourceMonitor::shard_of(const void* obj) {
  // By the 64 KiB block of the pointer (Fibonacci hashing: the product's top bits mix every bit
  // of the block number, and neighbouring blocks fall far apart), then by the parity of its cache
  // line. Objects a thread makes lie close together (in its allocator arena, or on its stack),
  // while other threads' lie in other blocks: each thread then mostly works in the two slices of
  // its block, whose locks and tables stay in its processor's cache. Hashing each object apart
  // would spread every thread over every slice, and the slices' cache lines would travel between
  // processors at nearly every call: measured, two threads then reach about 0.8 of one thread's
  // throughput, whether their objects are neighbours in one array or not.
  // Objects that threads take from one array in turn (a pool of frames) share a block; the line's
  // parity still sets apart those on every other line, as two threads taking turns leave them.
  const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(obj));
  const std::uint64_t key = (address >> 16) * 0x9E3779B97F4A7C15ull;
  const std::size_t line_parity = (address >> 6) & 1;
  return shards[static_cast<std::size_t>(key >> (64 - kShardBits)) ^ line_parity];
}

void ResourceMonitor::lock_all_shards() {
  for (RegistryShard& shard : shards) shard.mutex.lock();
}

void ResourceMonitor::unlock_all_shards() {
  for (auto shard = shards.rbegin(); shard != shards.rend(); ++shard) shard->mutex.unlock();
}

std::string_view ResourceMonitor::keep_name(std::string_view name, bool& new_name,
                                            std::uint64_t& clears_seen) {
  std::lock_guard<std::mutex> names(names_mutex);
  clears_seen = clears;
  const auto known = known_names.find(name);
  new_name = known == known_names.end();
  if (!new_name) return *known;
  const std::string_view kept = name_copies.keep(name);
  known_names.insert(kept);  // should it throw, the copy waits for the next clear()
  return kept;
}

ResourceGroup& ResourceMonitor::group_new_to_shard(RegistryShard& shard, const char* objName,
                                                   std::unique_lock<OwnedMutex>& lock,
                                                   bool& new_name) {
  lock.unlock();
  const std::string_view name(objName);

  // New to the slice. Starting the symbol handler may have to wait for a resolution in
  // progress, so the name is kept and the handler started without the slice's lock; should
  // another thread add the name to the slice meanwhile, its group is used. Should a clear() drop
  // the registry's names meanwhile, the copy of the name is gone with them, and it is made again.
  for (;;) {
    std::uint64_t clears_seen = 0;
    const std::string_view kept = keep_name(name, new_name, clears_seen);
    // Outside names_mutex too: the name's groups in other slices must not wait for it.
    if (new_name) start_symbol_handler_for_new_name();
    lock.lock();
    if (ResourceGroup* group = shard.find(name)) return *group;
    if (clears == clears_seen) return shard.emplace(kept, stack_stores);
    lock.unlock();
  }
}

int ResourceMonitor::AddResource(const char* objName, void* obj) {
  const MonitorInfoLevel current = level.load();
  if (current == MonitorInfoNone) return 0;

  // Captured and pooled before the registry lock, in this thread's lane: threads registering at
  // once capture in parallel, and count references on stacks of their own even when their
  // objects share a slice. A registration that turns out to be a duplicate gives its reference
  // up. Only a stack the lane has not pooled yet is copied to the heap.
  StackRef stack;
  if (records_stacks(current)) {
    CapturedFrames captured;
    capture_registration_stack(captured);
    stack = stack_stores.intern(captured);
  }
  HeldStack held(stack_stores, stack);  // given up after the lock is released, unless kept
  RegistryShard& shard = shard_of(obj);
  const std::time_t created = std::time(nullptr);

  std::unique_lock<OwnedMutex> lock(shard.mutex);
  bool new_name = false;
  ResourceGroup* group = shard.find(objName);
  if (group == nullptr) group = &group_new_to_shard(shard, objName, lock, new_name);
  if (group->add(obj, created, stack)) held.pass_on();
  // Stamped once the entry is in, under the slice's lock: a report that misses the entry also
  // misses the stamp, and reports again later.
  if (new_name && stamps_read()) stamp_change();
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
  ResourceEntry removed;  // its stack is given up after the lock is released
  RegistryShard& shard = shard_of(obj);
  {
    std::lock_guard<OwnedMutex> lock(shard.mutex);
    ResourceGroup* group = shard.find(objName);
    if (group == nullptr || !group->remove(obj, removed)) return 0;
    if (stamps_read()) {
      // Read under the lock, so that a removal stamped after another one in this slice never
      // stamps an earlier time than it did. Stored only when it moves: threads removing at once
      // then share the line instead of taking it from each other at every call.
      const std::int64_t now_us = change_time_us();
      if (last_change_us.load(std::memory_order_relaxed) != now_us) {
        last_change_us.store(now_us);
      }
    }
  }
  stack_stores.release(removed.stack);
  return 0;
}

int ResourceMonitor::GetObjResource(const char* objName, void* obj, ResMonitorInfo& info) {
  const std::string_view name(objName);
  RegistrySnapshot snapshot;
  snapshot.prepare(1, 1);
  RegistryShard& shard = shard_of(obj);
  {
    std::lock_guard<OwnedMutex> lock(shard.mutex);
    ResourceGroup* group = shard.find(name);
    if (group == nullptr || !group->append_one(obj, snapshot)) return -1;
  }
  const RegistrySnapshot::Entry& entry = snapshot.entries().front();
  ResMonitorInfo found;
  copy_object_name(objName, name.size(), found.objName);
  found.obj = obj;
  found.createTime = entry.created;
  // Resolved once per distinct stack; later queries copy the kept text.
  found.callStack = snapshot.stack_text(entry);
  info = std::move(found);
  return 0;
}

int ResourceMonitor::GetObjNameResource(const char* objName, std::list<ResMonitorInfo>& out) {
  RegistrySnapshot snapshot;
  take_snapshot(snapshot, std::string_view(objName));
  append_copies(snapshot, out);
  return 0;
}

int ResourceMonitor::GetAllResource(std::list<ResMonitorInfo>& out) {
  RegistrySnapshot snapshot;
  take_snapshot(snapshot);
  append_copies(snapshot, out);
  return 0;
}

int ResourceMonitor::GetResourceSites(std::list<ResourceSiteInfo>& out) {
  RegistrySnapshot snapshot;
  take_snapshot(snapshot, std::nullopt, /*sorted=*/false);
  const ModuleFilesScope module_files;  // an unloaded module's file is read once per query
  std::list<ResourceSiteInfo> sites;
  for (const ResourceSite& site : group_by_site(snapshot)) {
    ResourceSiteInfo& info = sites.emplace_back();
    copy_object_name(site.group->name.data(), site.group->name.size(), info.objName);
    info.count = site.count;
    info.oldestCreateTime = site.oldest;
    info.callStack = site.frames;
    std::copy_n(site.examples, site.example_count, info.examples);
    info.exampleCount = site.example_count;
  }
  out.splice(out.end(), sites);
  return 0;
}

void ResourceMonitor::append_copies(const RegistrySnapshot& snapshot,
                                    std::list<ResMonitorInfo>& out) {
  // Built in a list of their own and spliced at the end, so that a failure appends nothing.
  std::list<ResMonitorInfo> copies;
  const ModuleFilesScope module_files;  // an unloaded module's file is read once per query
  const RegistrySnapshot::Group* named = nullptr;
  char field[sizeof(ResMonitorInfo::objName)] = {};
  for (const RegistrySnapshot::Entry& entry : snapshot.entries()) {
    const RegistrySnapshot::Group& group = snapshot.group_of(entry);
    if (named == nullptr || named->name_rank != group.name_rank) {
      copy_object_name(group.name.data(), group.name.size(), field);
      named = &group;
    }
    ResMonitorInfo& copy = copies.emplace_back();
    std::memcpy(copy.objName, field, sizeof field);
    copy.obj = entry.obj;
    copy.createTime = entry.created;
    copy.callStack = snapshot.stack_text(entry);
  }
  out.splice(out.end(), copies);
}

void ResourceMonitor::take_snapshot(RegistrySnapshot& snapshot,
                                    std::optional<std::string_view> only_name, bool sorted) {
  // Sized from a count taken slice by slice, with room for what may come meanwhile; should more
  // come, the copy grows the array under the locks.
  std::size_t groups = 0;
  std::size_t entries = 0;
  for_each_group_locking_each(only_name, [&](ResourceGroup& group) {
    ++groups;
    entries += group.size();
  });
  snapshot.prepare(groups + groups / 4 + 4, entries + entries / 8 + 64);
  snapshot.pin_all(stack_stores);

  lock_all_shards();
  try {
    for_each_group(only_name, [&](ResourceGroup& group) { group.append_to(snapshot); });
  } catch (...) {
    unlock_all_shards();
    throw;
  }
  unlock_all_shards();
  snapshot.finish(sorted);
}

template <typename Visit>
void ResourceMonitor::for_each_group_locking_each(std::optional<std::string_view> only_name,
                                                  Visit&& visit) {
  for (RegistryShard& shard : shards) {
    std::lock_guard<OwnedMutex> lock(shard.mutex);
    visit_groups_of(shard, only_name, visit);
  }
}

template <typename Visit>
void ResourceMonitor::for_each_group(std::optional<std::string_view> only_name, Visit&& visit) {
  for (RegistryShard& shard : shards) visit_groups_of(shard, only_name, visit);
}

template <typename Visit>
void ResourceMonitor::visit_groups_of(RegistryShard& shard,
                                      std::optional<std::string_view> only_name, Visit& visit) {
  if (only_name) {
    if (ResourceGroup* group = shard.find(*only_name)) visit(*group);
    return;
  }
  shard.for_each_group(visit);
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

// The names are forgotten before the slices are unlocked: a name added once they are free is new
// again, and gets its stamp and its symbol start-up.
int ResourceMonitor::clear() {
  stop_check();
  std::lock_guard<std::mutex> names(names_mutex);
  lock_all_shards();
  for (RegistryShard& shard : shards) shard.clear();
  known_names.clear();
  name_copies.clear();
  ++clears;
  unlock_all_shards();
  return 0;
}

bool ResourceMonitor::busy_on_this_thread() const {
  if (check_thread_id.load() == std::this_thread::get_id()) return true;
  for (const RegistryShard& shard : shards) {
    if (shard.mutex.held_by_this_thread()) return true;
  }
  return false;
}

bool ResourceMonitor::check_thread_running() {
  std::lock_guard<std::mutex> lock(control_mutex);
  return check_thread != nullptr;
}

void ResourceMonitor::stamp_change() { last_change_us.store(change_time_us()); }

bool ResourceMonitor::stamps_read() const {
  // Only a check thread reads the stamps, and only while the level has the check bit. The bit
  // comes back only through start_check, which stamps then: without the bit, a registration's
  // stamp would be overwritten before anything read it, so the clock is not read for it.
  return (level.load() & MonitorInfoCheck) != 0;
}

}  // namespace resmonitor
