#include <core/log.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

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
std::atomic<std::size_t> g_record_bound{0};  // 0: none

LogSink g_sink = nullptr;        // guarded by sink_lock()
void* g_sink_context = nullptr;  // guarded by sink_lock()

// Messages that fit are formatted on the stack; it also holds the cut text when the heap cannot
// hold a long message.
constexpr std::size_t kStackText = 512;
constexpr const char* kCutMarker = "[... %llu bytes left out]";
constexpr std::size_t kCutMarkerRoom = 48;  // the marker with the largest count, and its NUL

// The text of one record: the whole message, or, where it had to be cut, its first bytes
// followed by the marker.
class RecordText {
 public:
  // `bound`: the most bytes of the message to keep (0: as many as memory allows).
  RecordText(const char* format, va_list args, std::size_t bound);
  RecordText(const RecordText&) = delete;
  RecordText& operator=(const RecordText&) = delete;

  const char* text() const { return text_; }
  std::size_t length() const { return length_; }

 private:
  // Keeps at most `bound` of the message's length_ bytes and appends the marker; text_ holds
  // more than `bound` of them, and has room for the marker after them.
  void cut(std::size_t bound);

  char stack_[kStackText + kCutMarkerRoom];
  std::unique_ptr<char[]> heap_;
  char* text_ = stack_;
  std::size_t length_ = 0;
};

RecordText::RecordText(const char* format, va_list args, std::size_t bound) {
  va_list again;
  va_copy(again, args);
  const int formatted = std::vsnprintf(stack_, kStackText, format, args);
  if (formatted < 0) stack_[0] = '\0';
  length_ = formatted < 0 ? 0 : static_cast<std::size_t>(formatted);
  std::size_t held = length_;  // how many of the message's bytes text_ holds
  if (length_ >= kStackText) {
    heap_.reset(new (std::nothrow) char[length_ + 1 + kCutMarkerRoom]);
    if (heap_ != nullptr) {
      text_ = heap_.get();
      std::vsnprintf(text_, length_ + 1, format, again);
    } else {
      // The stack holds the first kStackText - 1 bytes. One more than are kept must be known,
      // to tell whether the cut falls inside a UTF-8 sequence.
      held = kStackText - 2;
    }
  }
  va_end(again);
  if (bound != 0) held = std::min(held, bound);
  if (held < length_) cut(held);
}

void RecordText::cut(std::size_t bound) {
  std::size_t kept = bound;
  while (kept > 0 && (static_cast<unsigned char>(text_[kept]) & 0xC0) == 0x80) --kept;
  const int marker = std::snprintf(text_ + kept, kCutMarkerRoom, kCutMarker,
                                   static_cast<unsigned long long>(length_ - kept));
  length_ = kept + static_cast<std::size_t>(marker);
}

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
  // The text is written as it is, whatever its length.
  std::fprintf(stderr, "%s [%d] %s%s%s: ", stamp, record.level, record.logger,
               record.logger[0] ? "/" : "", record.module);
  std::fwrite(record.text, 1, std::strlen(record.text), stderr);
  std::fputc('\n', stderr);
}

int emit(const char* logger, int level, const char* module, const char* format, va_list args) {
  const RecordText text(format ? format : "", args, g_record_bound.load());
  const LogRecord record{logger ? logger : "", level, module ? module : "", text.text()};
  if (const detail::RecordObserver observe = g_record_observer.load()) observe(record);
  if (sink_lock().held_by_this_thread()) {
    // Inside the sink on this very thread: waiting for the lock would wait for ourselves.
    write_to_stderr(record);
  } else {
    std::lock_guard<detail::SinkLock> lock(sink_lock());
    if (g_sink != nullptr) {
      g_sink(record, g_sink_context);
    } else {
      write_to_stderr(record);
    }
  }
  return static_cast<int>(text.length());
}

void install_sink(LogSink sink, void* context) {
  g_sink = sink;
  g_sink_context = sink ? context : nullptr;
}

}  // namespace

void SetLogSink(LogSink sink, void* context) {
  if (sink_lock().held_by_this_thread()) {
    install_sink(sink, context);
    return;
  }
  std::lock_guard<detail::SinkLock> lock(sink_lock());
  install_sink(sink, context);
}

namespace detail {

thread_local bool SinkLock::took_for_fork_ = false;

void set_record_observer(RecordObserver observer) { g_record_observer.store(observer); }

void set_record_bound(std::size_t bytes) { g_record_bound.store(bytes); }

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
