// Captures what the base library logs, for assertions, and waits for expected lines without
// sleeping.
#pragma once

#include <core/log.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillmark::testing {

struct CapturedLine {
  std::string logger;
  int level;
  std::string module;
  std::string text;
  std::thread::id thread;  // the thread that logged it
};

// Installs itself as the log sink for its lifetime; the default sink comes back afterwards.
// Only one capture may be active at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Keeps `record` as if it had reached this capture's sink; for sinks of a test's own that
  // also capture.
  void keep(const core::LogRecord& record) { sink(record, this); }

  std::vector<CapturedLine> lines() const;
  // Number of lines whose text contains `fragment`.
  int count_containing(const std::string& fragment) const;
  void clear();

  // Waits for `count` lines that contain `fragment`, or `timeout`; returns whether they came.
  bool wait_for_text(const std::string& fragment, int count = 1,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

 private:
  static void sink(const core::LogRecord& record, void* context);

  mutable std::mutex mutex_;  // guards lines_
  mutable std::condition_variable changed_;
  std::vector<CapturedLine> lines_;
};

}  // namespace quillmark::testing
