// Per-type figures of traced tasks: how many ended, how many were reported, and how long they
// took, with exact percentiles over the durations kept.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace freezemonitor {

// The figures of one event type.
struct TypeFigures {
  std::int32_t event_type;
  std::uint64_t tasks;      // tasks that ended
  std::uint64_t timed_out;  // timed-out reports
  std::uint64_t freezed;    // freezed reports
  std::int64_t p50_ms;      // nearest-rank percentiles of the ended tasks' durations; 0 if none
  std::int64_t p95_ms;
  std::int64_t max_ms;
};

// Types 0 to 13 are counted apart; any other value counts as 0 ("Unknown"), the name reports
// give it. Each type keeps up to kKeptDurations durations; past that a uniform sample of that
// many stands for all of them (reservoir sampling), while counts and the maximum stay exact.
// Not thread-safe: the owner's lock guards it.
class TaskStatistics {
 public:
  static constexpr std::size_t kTypes = 14;
  static constexpr std::size_t kKeptDurations = 65536;

  void count_timed_out(std::int32_t type) { of(type).timed_out++; }
  void count_freezed(std::int32_t type) { of(type).freezed++; }
  // A task of `type` ended after `duration_ms` (negative counts as 0). Never throws: without
  // memory for one more duration, the task is counted but its duration not kept.
  void count_ended(std::int32_t type, std::int64_t duration_ms) noexcept;
  // The types with any count, in ascending order of type.
  std::vector<TypeFigures> figures() const;
  void clear();

 private:
  struct PerType {
    std::uint64_t tasks = 0;
    std::uint64_t timed_out = 0;
    std::uint64_t freezed = 0;
    std::int64_t max_ms = 0;
    std::vector<std::uint32_t> kept;  // durations in ms, saturated at 2^32 - 1
  };

  PerType& of(std::int32_t type) {
    return types_[type >= 0 && type < static_cast<std::int32_t>(kTypes) ? type : 0];
  }
  std::uint64_t next_random() noexcept;

  std::array<PerType, kTypes> types_;
  std::uint64_t random_ = 0x9E3779B97F4A7C15ULL;  // the sample's generator (xorshift64)
};

}  // namespace freezemonitor
