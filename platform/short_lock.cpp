#include "platform/short_lock.h"

namespace quillmark::platform {

void ShortLock::lock_contended() {
  // Marked as having sleepers before sleeping, so that the holder's unlock wakes one. A thread
  // that takes the lock this way keeps the mark: it cannot know whether others still sleep, and
  // an unneeded wake costs only a system call.
  while (state_.exchange(kLockedWithSleepers, std::memory_order_acquire) != kUnlocked) {
    sleep_while_equal(state_, kLockedWithSleepers);
  }
}

}  // namespace quillmark::platform
