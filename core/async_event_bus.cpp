// The event-bus members that quillmark exports. They read the bus's fields directly, so they
// depend on the layout declared in core/async_event_bus.h.
#include <core/async_event_bus.h>

namespace core {
namespace {

// Drops every listener of `token`, then every group left without listeners, whichever token
// emptied it. Runs on the dispatch thread.
void remove_listeners(std::map<std::string, ListenerGroup*>& listeners, std::mutex& mutex,
                      int token) {
  std::lock_guard<std::mutex> lock(mutex);
  for (auto it = listeners.begin(); it != listeners.end();) {
    ListenerGroup* group = it->second;
    group->removeToken(token);
    if (group->listenerCount() != 0) {
      ++it;
      continue;
    }
    it = listeners.erase(it);
    delete group;
  }
}

}  // namespace

int AsyncEventBus::newToken() {
  std::lock_guard<std::mutex> lock(queueMutex);
  return ++tokenCounter;
}

std::size_t AsyncEventBus::getQueueEventCount() const {
  std::lock_guard<std::mutex> lock(queueMutex);
  return eventQueue.size();
}

void AsyncEventBus::unlistenAll(int token) {
  // The marker's only job is to wake the dispatch side; no listener can exist for its type.
  struct TmpStruct {};
  std::lock_guard<std::mutex> control(controlMutex);
  // Both entries are no-throw: an exception escaping them ends the process (std::terminate).
  controlQueue.emplace_back([bus = this, token]() noexcept {
    remove_listeners(bus->listeners, bus->listenersMutex, token);
  });
  {
    std::lock_guard<std::mutex> queue(queueMutex);
    eventQueue.emplace_back(
        [bus = this, marker = TmpStruct{}]() noexcept { bus->deliverEvent(marker); });
  }
  wakeCondition.notify_one();
}

}  // namespace core
