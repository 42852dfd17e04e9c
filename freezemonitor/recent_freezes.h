// The most recent freezes of the process, kept so that a host can read a frozen task's stack and
// fate without parsing the log.
#pragma once

#include <quillmark/freeze_monitor.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "freezemonitor/watchdog_alarm.h"
#include "platform/thread_capture.h"

namespace freezemonitor {

struct RecentFreeze {
  std::uint64_t sequence = 0;  // 1 for the first freeze of the process
  FreezeEvent event;           // url null for tasks without one
  quillmark::platform::ThreadId thread = 0;
  std::int64_t start_ticks = 0;
  std::int64_t final_ms = -1;  // the task's whole duration once it ended; -1 while it runs
  std::string stack;           // the frozen-stack record, "" when there is none (yet)
  std::string samples;         // the stack-samples record, "" when there is none (yet)
};

// A ring of the last kKept freezes. Thread-safe; its lock is a leaf: nothing else is locked or
// called while it is held, so it may be taken under records_mutex and from event listeners.
class RecentFreezes {
 public:
  static constexpr std::size_t kKept = 32;

  // Keeps a new freeze in place of the oldest; returns its sequence number.
  std::uint64_t add(const FreezeEvent& event, quillmark::platform::ThreadId thread,
                    std::int64_t start_ticks) noexcept;
  // Both do nothing once the entry of `sequence` has been overwritten.
  void set_stack(std::uint64_t sequence, std::string text) noexcept;
  void set_samples(std::uint64_t sequence, std::string text) noexcept;
  void set_ended(std::uint64_t sequence, std::int64_t duration_ms) noexcept;
  // Leaves `skipped` out of the running time of the freezes whose tasks still run.
  void leave_out(const SkippedTime& skipped) noexcept;
  // Copies of the entries, the newest first.
  std::vector<RecentFreeze> newest_first() const;

  void lock_for_fork() { mutex_.lock(); }
  void unlock_after_fork() { mutex_.unlock(); }

 private:
  RecentFreeze* find(std::uint64_t sequence);

  mutable std::mutex mutex_;  // guards ring_ and added_
  std::array<RecentFreeze, kKept> ring_;
  std::uint64_t added_ = 0;  // sequence number of the newest entry
};

}  // namespace freezemonitor
