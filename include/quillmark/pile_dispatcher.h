// The process-wide slot of the host's UI-performance pile dispatcher.
//
// The part of the host that owns the real dispatcher installs it; every other part fetches it.
// With nothing installed, callers get a built-in dispatcher that discards everything, so the
// result never needs a null test.
#pragma once

#include <quillmark/export.h>

#include <cstddef>
#include <cstdint>

namespace PileDispatcher {

// Implemented by the host. The library never calls DispatchPile and never destroys a
// dispatcher (hence no virtual destructor).
class UIPerformancePileDispatcher {
 public:
  // Hands one pile of UI-performance samples to the dispatcher: `pile` names the pile,
  // `samples` points at `count` durations in microseconds. The default dispatcher ignores it.
  virtual void DispatchPile(const char* pile, const std::int64_t* samples, std::size_t count) = 0;

 protected:
  ~UIPerformancePileDispatcher() = default;
};

}  // namespace PileDispatcher

extern "C" {

// Stores `dispatcher` (null allowed: withdraws the installed one). No copy and no reference
// count: the object must outlive its installation. Thread-safe; a concurrent fetch sees either
// the old or the new pointer.
QUILLMARK_API void SetUIPerformancePileDispatcher(
    PileDispatcher::UIPerformancePileDispatcher* dispatcher);

// The installed dispatcher, or the built-in one that does nothing. Never null. Thread-safe.
QUILLMARK_API PileDispatcher::UIPerformancePileDispatcher* GetPileDispatcher();
}
