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

namespace {

using InterruptTimeQuery = VOID(WINAPI*)(PULONGLONG);

// QueryInterruptTime exists from Windows 10 on (and not in every Wine); looked up once.
InterruptTimeQuery interrupt_time_query() {
  static const InterruptTimeQuery query = [] {
    HMODULE kernelbase = GetModuleHandleW(L"kernelbase.dll");
    if (kernelbase == nullptr) return InterruptTimeQuery{nullptr};
    return reinterpret_cast<InterruptTimeQuery>(
        reinterpret_cast<void*>(GetProcAddress(kernelbase, "QueryInterruptTime")));
  }();
  return query;
}

}  // namespace

std::int64_t awake_time_100ns() {
  ULONGLONG unbiased = 0;
  QueryUnbiasedInterruptTime(&unbiased);
  return static_cast<std::int64_t>(unbiased);
}

// The interrupt time counts the sleep, the unbiased one leaves it out.
std::int64_t asleep_time_100ns() {
  const InterruptTimeQuery query = interrupt_time_query();
  if (query == nullptr) return 0;
  ULONGLONG interrupt = 0;
  query(&interrupt);
  return static_cast<std::int64_t>(interrupt) - awake_time_100ns();
}

std::int64_t unix_time_us_from_ms_clock() {
  __timeb64 now;
  _ftime64(&now);
  return (static_cast<std::int64_t>(now.time) * 1000 + now.millitm) * 1000;
}

}  // namespace quillmark::platform
