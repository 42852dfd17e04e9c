#include "resmonitor/registry_snapshot.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <numeric>

#include "callstack/describe_stack.h"

namespace resmonitor {

RegistrySnapshot::~RegistrySnapshot() {
  for (const Group& group : groups_) {
    std::lock_guard<quillmark::platform::ShortLock> lock(group.store->stacks_mutex);
    group.store->pool.unpin();
  }
}

void RegistrySnapshot::prepare(std::size_t groups, std::size_t entries) {
  groups_.reserve(groups);
  entries_.resize(entries);  // written through, so its pages are there before the copy
}

std::uint32_t RegistrySnapshot::add_group(std::string_view name,
                                          const std::shared_ptr<CStackInfo>& store) {
  groups_.push_back({std::string(name), store, 0});
  std::lock_guard<quillmark::platform::ShortLock> lock(store->stacks_mutex);
  store->pool.pin();
  return static_cast<std::uint32_t>(groups_.size() - 1);
}

void RegistrySnapshot::finish(bool sorted) {
  entries_.resize(used_);
  std::vector<std::uint32_t> by_name(groups_.size());
  std::iota(by_name.begin(), by_name.end(), 0u);
  std::sort(by_name.begin(), by_name.end(),
            [this](std::uint32_t a, std::uint32_t b) { return groups_[a].name < groups_[b].name; });
  name_count_ = 0;
  for (std::size_t i = 0; i < by_name.size(); ++i) {
    if (i > 0 && groups_[by_name[i]].name != groups_[by_name[i - 1]].name) ++name_count_;
    groups_[by_name[i]].name_rank = static_cast<std::uint32_t>(name_count_);
  }
  if (!by_name.empty()) ++name_count_;
  if (!sorted) return;
  std::sort(entries_.begin(), entries_.end(), [this](const Entry& a, const Entry& b) {
    const std::uint32_t rank_a = groups_[a.group].name_rank;
    const std::uint32_t rank_b = groups_[b.group].name_rank;
    if (rank_a != rank_b) return rank_a < rank_b;
    return std::less<void*>()(a.obj, b.obj);
  });
}

std::string RegistrySnapshot::stack_text(const Entry& entry) const {
  if (entry.stack == nullptr) return std::string();
  const Group& group = group_of(entry);
  return describe_pooled_stack(*group.store, group.name, entry.obj, *entry.stack);
}

}  // namespace resmonitor
