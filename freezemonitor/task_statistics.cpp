#include "freezemonitor/task_statistics.h"

#include <algorithm>
#include <limits>
#include <new>

namespace freezemonitor {

namespace {

// The smallest kept duration that at least `percent` % of them do not exceed (nearest rank).
std::int64_t percentile(const std::vector<std::uint32_t>& sorted, std::size_t percent) {
  if (sorted.empty()) return 0;
  const std::size_t rank = (percent * sorted.size() + 99) / 100;
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace

std::uint64_t TaskStatistics::next_random() noexcept {
  random_ ^= random_ << 13;
  random_ ^= random_ >> 7;
  random_ ^= random_ << 17;
  return random_;
}

void TaskStatistics::count_ended(std::int32_t type, std::int64_t duration_ms) noexcept {
  PerType& figures = of(type);
  const std::int64_t ms = std::max<std::int64_t>(duration_ms, 0);
  const auto kept_ms = static_cast<std::uint32_t>(
      std::min<std::int64_t>(ms, std::numeric_limits<std::uint32_t>::max()));
  figures.tasks++;
  figures.max_ms = std::max(figures.max_ms, ms);
  if (figures.kept.size() < kKeptDurations) {
    try {
      figures.kept.push_back(kept_ms);
    } catch (const std::bad_alloc&) {
    }
    return;
  }
  // Every task so far stays in the sample with the same chance, kKeptDurations / tasks. Up to
  // 2^32 tasks the slot is the random number scaled to [0, tasks), which spares a division.
  const std::uint64_t random = next_random();
  const std::uint64_t slot = figures.tasks <= std::numeric_limits<std::uint32_t>::max()
                                 ? ((random >> 32) * figures.tasks) >> 32
                                 : random % figures.tasks;
  if (slot < kKeptDurations) figures.kept[slot] = kept_ms;
}

std::vector<TypeFigures> TaskStatistics::figures() const {
  std::vector<TypeFigures> all;
  for (std::size_t type = 0; type < kTypes; ++type) {
    const PerType& counted = types_[type];
    if (counted.tasks == 0 && counted.timed_out == 0 && counted.freezed == 0) continue;
    std::vector<std::uint32_t> sorted = counted.kept;
    std::sort(sorted.begin(), sorted.end());
    all.push_back({static_cast<std::int32_t>(type), counted.tasks, counted.timed_out,
                   counted.freezed, percentile(sorted, 50), percentile(sorted, 95),
                   counted.max_ms});
  }
  return all;
}

void TaskStatistics::clear() {
  for (PerType& counted : types_) counted = PerType{};
}

}  // namespace freezemonitor
