#include "resmonitor/resource_sites.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>

#include "callstack/describe_stack.h"
#include "resmonitor/report_text.h"

namespace resmonitor {
namespace {

std::atomic<bool> g_grouped_reports{false};

// Folds `entry` (pointers come ascending within a name) into `site`.
void count_entry(ResourceSite& site, const RegistrySnapshot::Entry& entry) {
  if (site.count == 0 || entry.created < site.oldest) site.oldest = entry.created;
  ++site.count;
  if (site.example_count < ResourceSiteInfo::kMaxExamples) {
    site.examples[site.example_count++] = entry.obj;
  }
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

std::vector<std::uint64_t> addresses_of(const PooledStack* stack) {
  std::vector<std::uint64_t> addresses;
  if (stack == nullptr) return addresses;
  addresses.reserve(stack->stack->size());
  for (std::uint32_t i = 0; i < stack->stack->size(); ++i) {
    addresses.push_back(stack->stack->frame(i));
  }
  return addresses;
}

bool listed_before(const ResourceSite& a, const ResourceSite& b) {
  if (a.count != b.count) return a.count > b.count;
  if (a.group->name_rank != b.group->name_rank) return a.group->name_rank < b.group->name_rank;
  if (a.frames != b.frames) return a.frames < b.frames;
  return addresses_of(a.stack) < addresses_of(b.stack);
}

}  // namespace

std::vector<ResourceSite> group_by_site(const RegistrySnapshot& snapshot, bool with_text) {
  // First by pooled stack (a pointer look-up per entry), then stacks of one name with the same
  // addresses, which only registry slices set apart, are merged.
  std::unordered_map<const void*, std::size_t> by_stack;
  std::vector<ResourceSite> pooled;
  for (const RegistrySnapshot::Entry& entry : snapshot.entries()) {
    const RegistrySnapshot::Group& group = snapshot.group_of(entry);
    // Entries without a stack: one site per name, keyed by the name's first group.
    const void* key = entry.stack != nullptr ? static_cast<const void*>(entry.stack) : &group;
    auto [found, added] = by_stack.try_emplace(key, pooled.size());
    if (added) pooled.push_back({&group, entry.stack});
    count_entry(pooled[found->second], entry);
  }

  std::map<std::pair<std::uint32_t, std::vector<std::uint64_t>>, std::size_t> by_addresses;
  std::vector<ResourceSite> sites;
  for (ResourceSite& site : pooled) {
    auto [found, added] = by_addresses.try_emplace(
        std::make_pair(site.group->name_rank, addresses_of(site.stack)), sites.size());
    if (added) {
      sites.push_back(std::move(site));
    } else {
      merge_site(sites[found->second], site);
    }
  }
  if (with_text) {
    for (ResourceSite& site : sites) {
      if (site.stack != nullptr) {
        site.frames = describe_pooled_frames(*site.group->store, *site.stack);
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
