// The operating-system seam of quillmark: the few portable operations the subsystems need.
// One implementation per platform lives in win32/ or posix/; the build picks one.
#pragma once

#include <cstdint>

namespace quillmark::platform {

// The system clock in 100-nanosecond ticks. Only differences between readings matter.
std::int64_t system_time_100ns();

// The millisecond system clock as microseconds since 1970-01-01 UTC:
// (seconds * 1000 + milliseconds) * 1000.
std::int64_t unix_time_us_from_ms_clock();

}  // namespace quillmark::platform
