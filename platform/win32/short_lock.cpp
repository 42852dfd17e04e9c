// ShortLock's sleeps are WaitOnAddress waits on the lock word (Windows 8 and later).
#include "platform/short_lock.h"

#include <windows.h>

namespace quillmark::platform {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the lock word is a plain 32-bit integer");

void ShortLock::sleep_while_equal(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
  // A spurious return or a timeout that cannot come (INFINITE): the caller looks again.
  WaitOnAddress(&word, &expected, sizeof expected, INFINITE);
}

void ShortLock::wake_one_sleeper(std::atomic<std::uint32_t>& word) { WakeByAddressSingle(&word); }

}  // namespace quillmark::platform
