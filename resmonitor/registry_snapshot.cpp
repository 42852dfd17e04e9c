#include "resmonitor/registry_snapshot.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <numeric>
#include <utility>

#include "callstack/describe_stack.h"

namespace resmonitor {

RegistrySnapshot::~RegistrySnapshot() {
  for (std::uint32_t lane = 0; lane < StackStores::kLanes; ++lane) {
    if ((pinned_lanes_ & (1u << lane)) == 0) continue;
    CStackInfo& store = stores_->store(lane);
    std::lock_guard<quillmark::platform::ShortLock> lock(store.stacks_mutex);
    store.pool.unpin();
  }
}

void RegistrySnapshot::prepare(std::size_t groups, std::size_t entries) {
  groups_.reserve(groups);
  entries_.resize(entries);  // written through, so its pages are there before the copy
}

void RegistrySnapshot::pin_all(StackStores& stores) {
  for (std::uint32_t lane = 0; lane < StackStores::kLanes; ++lane) pin(stores, lane);
}

void RegistrySnapshot::pin(StackStores& stores, std::uint32_t lane) {
  if ((pinned_lanes_ & (1u << lane)) != 0) return;
  stores_ = &stores;
  CStackInfo& store = stores.store(lane);
  std::lock_guard<quillmark::platform::ShortLock> lock(store.stacks_mutex);
  store.pool.pin();
  pinned_lanes_ |= 1u << lane;
}

std::uint32_t RegistrySnapshot::add_group(std::string_view name) {
  groups_.push_back({std::string(name), 0, static_cast<std::uint32_t>(used_)});
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
  if (entries_.size() < kSortByDigitsFrom) {
    std::sort(entries_.begin(), entries_.end(), [this](const Entry& a, const Entry& b) {
      const std::uint32_t rank_a = groups_[a.group].name_rank;
      const std::uint32_t rank_b = groups_[b.group].name_rank;
      if (rank_a != rank_b) return rank_a < rank_b;
      return std::less<void*>()(a.obj, b.obj);
    });
    return;
  }
  sort_by_digits(by_name);
}

namespace {

using Entry = RegistrySnapshot::Entry;

// A span of snapshot entries.
struct Run {
  const Entry* begin;
  const Entry* end;
};

constexpr unsigned kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr std::size_t kDigits = (64 + kDigitBits - 1) / kDigitBits;

std::size_t digit_of(const Entry& entry, std::size_t digit) {
  const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(entry.obj));
  return static_cast<std::size_t>(address >> (digit * kDigitBits)) & (kBuckets - 1);
}

// Writes the entries of `runs` (one name's, `count` in all) to `out` ordered by address: a stable
// pass per digit of the address in which they differ, least significant first, alternating
// between `out` and `buffer` so that the last pass writes `out`.
void sort_runs_by_address(const std::vector<Run>& runs, std::size_t count, Entry* out,
                          Entry* buffer) {
  // Every digit's counts in one read of the entries.
  std::vector<std::uint32_t> counts(kDigits * kBuckets);
  for (const Run& run : runs) {
    for (const Entry* entry = run.begin; entry != run.end; ++entry) {
      for (std::size_t digit = 0; digit < kDigits; ++digit) {
        ++counts[digit * kBuckets + digit_of(*entry, digit)];
      }
    }
  }
  std::vector<std::size_t> passes;  // the digits in which two entries differ
  for (std::size_t digit = 0; digit < kDigits; ++digit) {
    const std::uint32_t* first = &counts[digit * kBuckets];
    if (std::find(first, first + kBuckets, count) == first + kBuckets) passes.push_back(digit);
  }
  if (passes.empty()) {  // one entry, or none
    for (const Run& run : runs) out = std::copy(run.begin, run.end, out);
    return;
  }
  Entry* to = passes.size() % 2 == 1 ? out : buffer;
  std::vector<Run> from = runs;
  for (const std::size_t digit : passes) {
    std::uint32_t* next = &counts[digit * kBuckets];
    std::uint32_t start = 0;
    for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
      start += std::exchange(next[bucket], start);
    }
    for (const Run& run : from) {
      for (const Entry* entry = run.begin; entry != run.end; ++entry) {
        to[next[digit_of(*entry, digit)]++] = *entry;
      }
    }
    from.assign(1, Run{to, to + count});
    to = to == out ? buffer : out;
  }
}

}  // namespace

void RegistrySnapshot::sort_by_digits(const std::vector<std::uint32_t>& groups_by_name) {
  // A comparison sort of a million entries took most of a listing's time. Each name's entries
  // (the runs its groups copied in) are instead sorted by the digits of their addresses straight
  // into the name's place in the result, through a buffer the size of the largest name, which
  // stays in the processor's cache when there are several names.
  std::vector<Run> runs_of_group(groups_.size());
  for (std::size_t group = 0; group < groups_.size(); ++group) {
    const std::size_t end = group + 1 < groups_.size() ? groups_[group + 1].first : used_;
    runs_of_group[group] = {entries_.data() + groups_[group].first, entries_.data() + end};
  }
  std::vector<Entry> result(entries_.size());
  std::vector<Entry> buffer;
  std::vector<Run> runs;
  Entry* out = result.data();
  for (std::size_t i = 0; i < groups_by_name.size();) {
    runs.clear();
    std::size_t count = 0;
    const std::uint32_t rank = groups_[groups_by_name[i]].name_rank;
    for (; i < groups_by_name.size() && groups_[groups_by_name[i]].name_rank == rank; ++i) {
      const Run& run = runs_of_group[groups_by_name[i]];
      runs.push_back(run);
      count += static_cast<std::size_t>(run.end - run.begin);
    }
    if (buffer.size() < count) buffer.resize(count);
    sort_runs_by_address(runs, count, out, buffer.data());
    out += count;
  }
  entries_.swap(result);
}

std::string RegistrySnapshot::stack_text(const Entry& entry) const {
  if (entry.stack == nullptr) return std::string();
  return describe_pooled_stack(store_of(entry), group_of(entry).name, entry.obj, *entry.stack);
}

}  // namespace resmonitor
