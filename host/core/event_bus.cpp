// The base library's side of the event bus: construction, the dispatch thread and idle waits.
#include <core/async_event_bus.h>

#include "process_state.h"

namespace core {

AsyncEventBus::AsyncEventBus() : tokenCounter(0), stopRequested(false), runningEntries(0) {
  dispatchThread = std::thread([this] { dispatchLoop(); });
}

AsyncEventBus::~AsyncEventBus() {
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    stopRequested = true;
  }
  wakeCondition.notify_all();
  if (dispatchThread.joinable()) dispatchThread.join();
  for (auto& listener : listeners) delete listener.second;
}

// Takes one event entry, then runs the listener-table operations queued so far, then the entry.
// unlistenAll queues its removal before its marker, so a removal always runs no later than the
// marker that announced it, and an idle bus has no removal pending.
void AsyncEventBus::dispatchLoop() {
  while (runOneEntry()) {
  }
}

bool AsyncEventBus::runOneEntry() {
  Entry entry;
  {
    std::unique_lock<std::mutex> lock(queueMutex);
    wakeCondition.wait(lock, [this] { return stopRequested || !eventQueue.empty(); });
    if (stopRequested) return false;
    entry = std::move(eventQueue.front());
    eventQueue.pop_front();
    ++runningEntries;
  }
  std::deque<Entry> control;
  {
    std::lock_guard<std::mutex> lock(controlMutex);
    control.swap(controlQueue);
  }
  for (auto& operation : control) operation();
  control.clear();
  entry();
  entry = nullptr;  // the event's copy lives until here
  std::lock_guard<std::mutex> lock(queueMutex);
  --runningEntries;
  if (eventQueue.empty() && runningEntries == 0) idleCondition.notify_all();
  return true;
}

bool AsyncEventBus::waitUntilIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(queueMutex);
  return idleCondition.wait_for(lock, timeout,
                                [this] { return eventQueue.empty() && runningEntries == 0; });
}

std::size_t AsyncEventBus::listenerTypeCount() {
  std::lock_guard<std::mutex> lock(listenersMutex);
  return listeners.size();
}

namespace {

// Owns the global bus and shuts it down in static destruction, unless the process is exiting
// with its other threads already ended (Windows): the dispatch thread's mutex and condition
// variable may then be left in a state that no join or destroy can get past, so the bus is left
// to the operating system.
class GlobalBusOwner {
 public:
  GlobalBusOwner() : bus_(new AsyncEventBus()) {}
  ~GlobalBusOwner() {
    if (!detail::other_threads_are_gone()) delete bus_;
  }
  AsyncEventBus& bus() { return *bus_; }

 private:
  AsyncEventBus* bus_;
};

}  // namespace

AsyncEventBus& GetGlobalEventBus() {
  static GlobalBusOwner owner;
  return owner.bus();
}

}  // namespace core
