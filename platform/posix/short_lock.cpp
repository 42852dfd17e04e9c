// ShortLock's sleeps are futex waits on the lock word, private to the process.
#include "platform/short_lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillmark::platform {

namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "a futex word is a plain 32-bit integer");

long futex(std::atomic<std::uint32_t>& word, int operation, std::uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), operation, value, nullptr,
                 nullptr, 0);
}

}  // namespace

void ShortLock::sleep_while_equal(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
  // Interrupted or already changed: the caller looks at the word again either way.
  futex(word, FUTEX_WAIT_PRIVATE, expected);
}

void ShortLock::wake_one_sleeper(std::atomic<std::uint32_t>& word) {
  futex(word, FUTEX_WAKE_PRIVATE, 1);
}

}  // namespace quillmark::platform
