#include "freezemonitor/recent_freezes.h"

#include <utility>

namespace freezemonitor {

std::uint64_t RecentFreezes::add(const FreezeEvent& event, quillmark::platform::ThreadId thread,
                                 std::int64_t start_ticks) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint64_t sequence = ++added_;
  RecentFreeze& entry = ring_[(sequence - 1) % kKept];
  entry.sequence = sequence;
  entry.event = event;  // a url that cannot be copied is left null, shown as ""
  entry.thread = thread;
  entry.start_ticks = start_ticks;
  entry.final_ms = -1;
  entry.stack.clear();
  return sequence;
}

RecentFreeze* RecentFreezes::find(std::uint64_t sequence) {
  RecentFreeze& entry = ring_[(sequence - 1) % kKept];
  return sequence != 0 && entry.sequence == sequence ? &entry : nullptr;
}

void RecentFreezes::set_stack(std::uint64_t sequence, std::string text) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (RecentFreeze* entry = find(sequence)) entry->stack = std::move(text);
}

void RecentFreezes::set_samples(std::uint64_t sequence, std::string text) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (RecentFreeze* entry = find(sequence)) entry->samples = std::move(text);
}

void RecentFreezes::set_ended(std::uint64_t sequence, std::int64_t duration_ms) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (RecentFreeze* entry = find(sequence)) entry->final_ms = duration_ms;
}

void RecentFreezes::leave_out(const SkippedTime& skipped) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  for (RecentFreeze& entry : ring_) {
    if (entry.sequence != 0 && entry.final_ms < 0)
      freezemonitor::leave_out(entry.start_ticks, skipped);
  }
}

std::vector<RecentFreeze> RecentFreezes::newest_first() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RecentFreeze> entries;
  for (std::uint64_t sequence = added_; sequence > 0 && added_ - sequence < kKept; --sequence) {
    entries.push_back(ring_[(sequence - 1) % kKept]);
  }
  return entries;
}

}  // namespace freezemonitor
