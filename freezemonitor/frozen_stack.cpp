// The optional record that follows a freezed line: the stack of the thread that created the
// frozen task's tracer, taken while it hangs.
#include <core/log.h>

#include <cstdio>
#include <string>

#include "callstack/thread_stack_text.h"
#include "freezemonitor/freeze_monitor_impl.h"
#include "platform/debug_help.h"

namespace freezemonitor {

namespace {

using quillmark::platform::CaptureOutcome;
using quillmark::platform::ThreadStack;

// How long the watchdog waits for the thread; it goes on without the stack after that.
constexpr std::chrono::milliseconds kCaptureWait{50};
// As many frames as the resource stacks show.
constexpr std::uint32_t kShownFrames = 10;
constexpr int kFreezedLevel = 6;

std::string record_head(quillmark::platform::ThreadId thread, double elapsed_ms) {
  char head[96];
  std::snprintf(head, sizeof head, "frozen thread %llu (task running for %lld ms) stack",
                static_cast<unsigned long long>(thread), static_cast<long long>(elapsed_ms));
  return head;
}

// A last line in the frames' indentation, after the frames.
void note_under_stack(const char* note, std::string& text) {
  if (!text.empty() && text.back() != '\n') text += '\n';
  text += "    (note: ";
  text += note;
  text += ")\n";
}

// Returns the text it logged, which the recent freezes keep too.
std::string log_frozen_stack(quillmark::platform::ThreadId thread, double elapsed_ms) {
  ThreadStack stack;
  const CaptureOutcome outcome =
      quillmark::platform::capture_thread_stack(thread, kCaptureWait, stack);
  std::string text = record_head(thread, elapsed_ms);
  if (outcome == CaptureOutcome::kCaptured) {
    text += ":\n" + resmonitor::describe_thread_stack(stack.frames, stack.count, kShownFrames);
    if (stack.note != nullptr) note_under_stack(stack.note, text);
  } else {
    text += " unavailable: ";
    text += quillmark::platform::capture_outcome_text(outcome);
  }
  CoreLogPrintLog("ZOR", kFreezedLevel, "FreezeMonitor", nullptr, nullptr, -1, "%s", text.c_str());
  return text;
}

// Where the symbol handler's warnings go too: standard error and the debugger.
void warn(const std::string& line) {
  std::fputs(line.c_str(), stderr);
  // The line is ASCII but for the variable's value, whose other bytes show as '?'.
  std::wstring wide;
  for (const char byte : line) {
    wide += static_cast<unsigned char>(byte) < 0x80 ? static_cast<wchar_t>(byte) : L'?';
  }
  quillmark::platform::debug_help().debug_output(wide.c_str());
}

}  // namespace

bool FreezeMonitorImpl::set_stack_capture(bool enabled) {
  std::lock_guard<std::mutex> lock(capture_switch_mutex);
  if (!enabled) {
    capture_stacks.store(false);
    quillmark::platform::disable_thread_capture();
    return false;
  }
  stack_reporter.store(&log_frozen_stack);
  std::string warning;
  const int signal_number = quillmark::platform::default_capture_signal(&warning);
  if (!warning.empty()) warn(warning);
  const bool ready = quillmark::platform::enable_thread_capture(signal_number);
  capture_stacks.store(ready);
  return ready;
}

}  // namespace freezemonitor

QUILLMARK_C_API bool SetFreezeStackCaptureEnabled(bool enabled) {
  return freezemonitor::freeze_monitor_instance().set_stack_capture(enabled);
}
