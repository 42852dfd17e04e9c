// The operating-system seam of quillmark: the few portable operations the subsystems need.
// One implementation per platform lives in win32/ or posix/; the build picks one.
#pragma once

#include <cstdint>

namespace quillmark::platform {

// The system clock in 100-nanosecond ticks. Only differences between readings matter.
std::int64_t system_time_100ns();

// A clock in 100-nanosecond ticks that stands still while the system sleeps (Linux:
// CLOCK_MONOTONIC; Windows: the unbiased interrupt time). Only differences matter.
std::int64_t awake_time_100ns();

// How long the system has slept since it booted, in 100-nanosecond ticks (Linux: CLOCK_BOOTTIME
// minus CLOCK_MONOTONIC; Windows: the interrupt time minus the unbiased interrupt time, or 0
// where the interrupt time cannot be read, before Windows 10). Grows only across a sleep.
std::int64_t asleep_time_100ns();

// The millisecond system clock as microseconds since 1970-01-01 UTC:
// (seconds * 1000 + milliseconds) * 1000.
std::int64_t unix_time_us_from_ms_clock();

// True once the process has begun to exit with its other threads already ended (Windows ends
// them before it runs the library's static destructors); a join would then never return.
// Always false on targets whose threads survive into static destruction.
bool other_threads_are_gone();

// For the library's static destructors: true when they run because the process ends, false when
// they run because the library is unloaded. (Linux: told apart by the order in which the loader
// runs the library's destructor functions and its exit list, see posix/library_unload.h; reliable
// once the library has started a thread of its own. Windows: the process-detach notification
// says which.)
bool teardown_is_process_exit();

// Keeps the library mapped until the process ends, so that a thread running its code can never
// be cut off by an unload (Windows: an unload runs static destructors under the loader lock,
// where joining a thread deadlocks). No-op where an unload can join threads.
void keep_library_loaded();

// A counted reference to this library, for as long as the object lives (Windows: a module
// reference without the pin flag; no-op where an unload can join threads). While one exists the
// host's FreeLibrary only drops the host's own reference, so a thread running the library's code
// is never cut off. Take it before starting such a thread and destroy it after joining the
// thread, on the joining thread: that thread runs on behalf of a caller that holds a reference
// of its own, so dropping this one never unmaps the code it returns to.
class LibraryReference {
 public:
  LibraryReference();
  ~LibraryReference();
  LibraryReference(const LibraryReference&) = delete;
  LibraryReference& operator=(const LibraryReference&) = delete;

 private:
  [[maybe_unused]] void* module_ = nullptr;  // unused where no reference is needed
};

}  // namespace quillmark::platform
