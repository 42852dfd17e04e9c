#include "support/log_capture.h"

namespace quillmark::testing {

LogCapture::LogCapture() { core::SetLogSink(&LogCapture::sink, this); }

LogCapture::~LogCapture() { core::SetLogSink(nullptr, nullptr); }

void LogCapture::sink(const core::LogRecord& record, void* context) {
  auto* self = static_cast<LogCapture*>(context);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back(
        {record.logger, record.level, record.module, record.text, std::this_thread::get_id()});
  }
  self->changed_.notify_all();
}

std::vector<CapturedLine> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int LogCapture::count_containing(const std::string& fragment) const {
  int count = 0;
  for (auto& line : lines()) {
    if (line.text.find(fragment) != std::string::npos) ++count;
  }
  return count;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

bool LogCapture::wait_for_text(const std::string& fragment, int count,
                               std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    int seen = 0;
    for (auto& line : lines_) seen += line.text.find(fragment) != std::string::npos;
    return seen >= count;
  });
}

}  // namespace quillmark::testing
