// Listens for FreezeEvent on the global bus and keeps a copy of each one, for assertions; a test
// may also look at each event as it is delivered, on the dispatch thread.
#pragma once

#include <core/async_event_bus.h>
#include <quillmark/freeze_monitor.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace quillmark::testing {

class EventRecorder {
 public:
  explicit EventRecorder(std::function<void(const FreezeEvent&)> on_delivery = nullptr) {
    token_ = core::GetGlobalEventBus().listen<FreezeEvent>(
        [this, on_delivery](const FreezeEvent& event) {
          // Before the copy is kept: what it did is visible to whoever waited for the copy.
          if (on_delivery) on_delivery(event);
          {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(event);
          }
          changed_.notify_all();
        });
  }
  ~EventRecorder() {
    // The removal runs on the dispatch thread; wait for it so no delivery reaches a dead object.
    core::GetGlobalEventBus().unlistenAll(token_);
    core::GetGlobalEventBus().waitUntilIdle(std::chrono::seconds(20));
  }
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

  // Copies of the events whose url is `url`, in the order they arrived.
  std::vector<FreezeEvent> events_for(const std::string& url) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return matching(url);
  }

  // Waits until `count` events for `url` arrived; returns them (fewer on timeout).
  std::vector<FreezeEvent> wait_for(const std::string& url, std::size_t count,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return matching(url).size() >= count; });
    return matching(url);
  }

 private:
  std::vector<FreezeEvent> matching(const std::string& url) const {
    std::vector<FreezeEvent> found;
    for (const auto& event : events_) {
      if (event.url != nullptr && url == event.url) found.push_back(event);
    }
    return found;
  }

  int token_ = -1;
  mutable std::mutex mutex_;  // guards events_
  std::condition_variable changed_;
  std::vector<FreezeEvent> events_;
};

}  // namespace quillmark::testing
