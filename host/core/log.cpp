#include <core/log.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "log_testing.h"
#include "process_state.h"
#include "sink_lock.h"

namespace core {
namespace {

// Guards the sink and its context; records are handed over one at a time.
detail::SinkLock& sink_lock() {
  static detail::SinkLock lock;
  return lock;
}
void lock_sink_for_fork() { sink_lock().lock_for_fork(); }
void unlock_sink_after_fork() { sink_lock().unlock_after_fork(); }
// A thread of a forking parent may be handing a record over: the child gets the lock free.
[[maybe_unused]] const bool g_sink_held_across_fork =
    (detail::hold_across_fork(&lock_sink_for_fork, &unlock_sink_after_fork), true);

std::atomic<detail::RecordObserver> g_record_observer{nullptr};

LogSink g_sink = nullptr;        // guarded by sink_lock()
void* g_sink_context = nullptr;  // guarded by sink_lock()

void write_to_stderr(const LogRecord& record) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s [%d] %s%s%s: %s\n", stamp, record.level, record.logger,
               record.logger[0] ? "/" : "", record.module, record.text);
}

// Formats into a small stack buffer and falls back to the heap only for long messages.
int emit(const char* logger, int level, const char* module, const char* format, va_list args) {
  if (format == nullptr) format = "";
  char small[512];
  std::vector<char> large;
  char* text = small;
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(small, sizeof small, format, args);
  if (length < 0) {
    small[0] = '\0';
    length = 0;
  } else if (static_cast<std::size_t>(length) >= sizeof small) {
    length = std::min(length, kMaxLogMessage);
    large.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    text = large.data();
  }
  va_end(again);
  const LogRecord record{logger ? logger : "", level, module ? module : "", text};
  if (const detail::RecordObserver observe = g_record_observer.load()) observe(record);
  std::lock_guard<detail::SinkLock> lock(sink_lock());
  if (g_sink != nullptr) {
    g_sink(record, g_sink_context);
  } else {
    write_to_stderr(record);
  }
  return length;
}

}  // namespace

void SetLogSink(LogSink sink, void* context) {
  std::lock_guard<detail::SinkLock> lock(sink_lock());
  g_sink = sink;
  g_sink_context = sink ? context : nullptr;
}

namespace detail {

thread_local bool SinkLock::took_for_fork_ = false;

void set_record_observer(RecordObserver observer) { g_record_observer.store(observer); }

}  // namespace detail

}  // namespace core

extern "C" int CoreLogPrint(const char* module, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = core::emit("", level, module, format, args);
  va_end(args);
  return written;
}

extern "C" int CoreLogPrintLog(const char* logger, int level, const char* module, const void*,
                               const void*, int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = core::emit(logger, level, module, format, args);
  va_end(args);
  return written;
}
