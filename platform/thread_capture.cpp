#include "platform/thread_capture.h"

namespace quillmark::platform {

const char* capture_outcome_text(CaptureOutcome outcome) {
  switch (outcome) {
    case CaptureOutcome::kCaptured:
      return "";
    case CaptureOutcome::kNotEnabled:
      return "stack capture is not enabled";
    case CaptureOutcome::kThreadGone:
      return "the thread has exited";
    case CaptureOutcome::kNoAnswer:
      return "the thread did not answer in time";
    case CaptureOutcome::kBusy:
      return "an earlier capture has not finished";
    case CaptureOutcome::kCannotInterrupt:
      return "the thread cannot be interrupted";
  }
  return "";
}

}  // namespace quillmark::platform
