#include "platform/platform.h"

#include <windows.h>

#include <sys/timeb.h>

namespace quillmark::platform {

std::int64_t system_time_100ns() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks;
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  return static_cast<std::int64_t>(ticks.QuadPart);
}

std::int64_t unix_time_us_from_ms_clock() {
  __timeb64 now;
  _ftime64(&now);
  return (static_cast<std::int64_t>(now.time) * 1000 + now.millitm) * 1000;
}

}  // namespace quillmark::platform
