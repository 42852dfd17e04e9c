#include "platform/thread_end.h"

#include "platform/platform.h"

namespace quillmark::platform {

bool ThreadEnd::wait(std::chrono::milliseconds limit) const {
  // Polled rather than signalled: a mutex or condition variable could be inherited locked by a
  // child of fork(), and this wait happens only once, at exit.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ended_.load()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool join_at_teardown(std::thread& thread, const ThreadEnd& end) {
  if (teardown_is_process_exit() && !end.wait(kExitGracePeriod)) {
    thread.detach();
    return false;
  }
  thread.join();
  return true;
}

}  // namespace quillmark::platform
