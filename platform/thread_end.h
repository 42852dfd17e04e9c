// Joining the library's own threads when its statics are torn down, without ever waiting
// forever at process exit.
//
// At process exit a thread of ours may be blocked for good by the exiting thread itself: a host
// that calls exit() inside its own log sink still holds the sink's lock while the exit handlers
// run, and our thread may be waiting for that lock to write a record. Waiting for such a thread
// would keep the process from ever ending, so at exit it gets a short grace period and is then
// left to the operating system, which ends it with the process. At an unload the thread runs
// code that is about to be unmapped: it is always joined, however long that takes.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace quillmark::platform {

// Raised by a thread as the last thing it does. Lock-free, so that a child of fork() never
// inherits it locked.
class ThreadEnd {
 public:
  // Before the thread starts.
  void reset() { ended_.store(false); }
  // The thread's last step.
  void mark() { ended_.store(true); }
  // Whether the thread marked its end within `limit` (checked every millisecond).
  bool wait(std::chrono::milliseconds limit) const;

 private:
  std::atomic<bool> ended_{false};
};

// How long a teardown at process exit waits for one of our threads before leaving it running.
inline constexpr std::chrono::milliseconds kExitGracePeriod{2000};

// For the library's static destructors: joins `thread`, whose body marks `end` last. At process
// exit (teardown_is_process_exit) a thread that has not ended within kExitGracePeriod is
// detached instead and false is returned: it still runs, so whatever it uses must be left
// undestroyed. Callers that must never wait for a lock the exiting thread holds check that
// first.
bool join_at_teardown(std::thread& thread, const ThreadEnd& end);

}  // namespace quillmark::platform
