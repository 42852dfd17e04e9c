#include "resmonitor/resource_sites.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "callstack/describe_stack.h"
#include "resmonitor/report_text.h"

namespace resmonitor {
namespace {

std::atomic<bool> g_grouped_reports{false};

// Folds `entry` into `site`, whose examples stay the lowest pointers, ascending.
void count_entry(ResourceSite& site, const RegistrySnapshot::Entry& entry) {
  if (site.count == 0 || entry.created < site.oldest) site.oldest = entry.created;
  ++site.count;
  void** end = site.examples + site.example_count;
  void** at = std::upper_bound(site.examples, end, entry.obj, std::less<void*>());
  if (at == site.examples + ResourceSiteInfo::kMaxExamples) return;
  if (site.example_count < ResourceSiteInfo::kMaxExamples) {
    ++site.example_count;
  } else {
    --end;  // the highest example gives way
  }
  std::copy_backward(at, end, end + 1);
  *at = entry.obj;
}

// Folds `from` into `into`: both hold the lowest pointers of their entries, ascending.
void merge_site(ResourceSite& into, const ResourceSite& from) {
  if (from.oldest < into.oldest) into.oldest = from.oldest;
  into.count += from.count;
  void* merged[2 * ResourceSiteInfo::kMaxExamples];
  void** end = std::merge(into.examples, into.examples + into.example_count, from.examples,
                          from.examples + from.example_count, merged, std::less<void*>());
  into.example_count =
      std::min<std::size_t>(static_cast<std::size_t>(end - merged), ResourceSiteInfo::kMaxExamples);
  std::copy_n(merged, into.example_count, into.examples);
}

// Orders stacks by their return addresses (no stack first).
int compare_frames(const PooledStack* a, const PooledStack* b) {
  if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
  const CallStack& left = *a->stack;
  const CallStack& right = *b->stack;
  for (std::uint32_t i = 0; i < left.size() && i < right.size(); ++i) {
    if (left.frame(i) != right.frame(i)) return left.frame(i) < right.frame(i) ? -1 : 1;
  }
  return (left.size() > right.size()) - (left.size() < right.size());
}

bool listed_before(const ResourceSite& a, const ResourceSite& b) {
  if (a.count != b.count) return a.count > b.count;
  if (a.group->name_rank != b.group->name_rank) return a.group->name_rank < b.group->name_rank;
  if (a.frames != b.frames) return a.frames < b.frames;
  return compare_frames(a.stack, b.stack) < 0;
}

// The site of each pooled stack in each group (a lane's store serves every name, so one pooled
// stack may serve several names): an open-addressing table keyed by stack and group, as one
// look-up per registration is most of the work.
class SiteIndex {
 public:
  // The index of the site of `stack` (null: entries without one) in `group`, or `next` after
  // storing it there when the pair is new.
  std::size_t find_or_add(const void* stack, std::uint32_t group, std::size_t next) {
    if ((size_ + 1) * 4 > slots_.size() * 3) grow();
    for (std::size_t i = home(stack, group);; i = (i + 1) & (slots_.size() - 1)) {
      Slot& slot = slots_[i];
      if (slot.site == kFree) {
        slot = {stack, group, next};
        ++size_;
        return next;
      }
      if (slot.stack == stack && slot.group == group) return slot.site;
    }
  }

 private:
  static constexpr std::size_t kFree = ~std::size_t{0};
  struct Slot {
    const void* stack = nullptr;
    std::uint32_t group = 0;
    std::size_t site = kFree;
  };
  std::size_t home(const void* stack, std::uint32_t group) const {
    const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(stack)) ^
                       (std::uint64_t{group} << 40 | group);
    return static_cast<std::size_t>((value * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot());
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(slots_.size()));
    size_ = 0;
    for (const Slot& slot : old) {
      if (slot.site != kFree) find_or_add(slot.stack, slot.group, slot.site);
    }
  }

  std::vector<Slot> slots_;
  unsigned shift_ = 64;
  std::size_t size_ = 0;
};

}  // namespace

std::vector<ResourceSite> group_by_site(const RegistrySnapshot& snapshot, bool with_text) {
  // First by pooled stack and group (a look-up per entry), then stacks of one name with the same
  // addresses, which only registry slices set apart, are merged.
  SiteIndex by_stack;
  std::vector<ResourceSite> pooled;
  for (const RegistrySnapshot::Entry& entry : snapshot.entries()) {
    const RegistrySnapshot::Group& group = snapshot.group_of(entry);
    // Entries without a stack: one site per group, merged per name below.
    const std::size_t site = by_stack.find_or_add(entry.stack, entry.group, pooled.size());
    if (site == pooled.size()) {
      CStackInfo* store = entry.stack != nullptr ? &snapshot.store_of(entry) : nullptr;
      pooled.push_back({&group, store, entry.stack});
    }
    count_entry(pooled[site], entry);
  }

  // Equal stacks of one name are found by their hash; addresses are compared only between
  // stacks whose names and hashes agree.
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_hash;
  std::vector<ResourceSite> sites;
  for (ResourceSite& site : pooled) {
    const std::uint64_t key = std::uint64_t{site.group->name_rank} << 32 |
                              (site.stack != nullptr ? site.stack->frames_hash : 0u);
    std::vector<std::size_t>& candidates = by_hash[key];
    const auto same = std::find_if(candidates.begin(), candidates.end(), [&](std::size_t index) {
      return compare_frames(sites[index].stack, site.stack) == 0;
    });
    if (same != candidates.end()) {
      merge_site(sites[*same], site);
    } else {
      candidates.push_back(sites.size());
      sites.push_back(std::move(site));
    }
  }
  if (with_text) {
    for (ResourceSite& site : sites) {
      if (site.stack != nullptr) {
        site.frames = describe_pooled_frames(*site.store, *site.stack);
      }
    }
  }
  std::sort(sites.begin(), sites.end(), listed_before);
  return sites;
}

bool leak_report_grouped() { return g_grouped_reports.load(std::memory_order_relaxed); }

}  // namespace resmonitor

bool SetLeakReportGroupedBySite(bool enabled) {
  return resmonitor::g_grouped_reports.exchange(enabled);
}
