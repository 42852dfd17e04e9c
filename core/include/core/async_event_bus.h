// The host's asynchronous publish/subscribe bus.
//
// Publishers queue events; one dispatch thread of the base library runs the queued entries, and
// each entry delivers its event to the listeners registered for the event's type. Listeners are
// found by the run-time type name of the event type.
//
// Two binaries build this class: the base library constructs the bus, registers listeners and
// runs the dispatch thread; quillmark exports newToken, getQueueEventCount and unlistenAll.
// The field layout below is shared by both and must not change.
#pragma once

#include <core/export.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

namespace core {

// The listeners of one event type. Owned by the bus's listener table.
class ListenerGroup {
 public:
  virtual ~ListenerGroup() = default;
  // Removes every listener registered under `token`.
  virtual void removeToken(int token) = 0;
  // Zero once the group has no listener left.
  virtual int listenerCount() = 0;
};

template <class E>
struct ListenerEntry {
  int token;
  std::function<void(const E&)> callback;
};

template <class E>
class TypedListenerGroup final : public ListenerGroup {
 public:
  // First data member: deliverEvent walks it directly.
  std::vector<ListenerEntry<E>> entries;

  void removeToken(int token) override {
    std::vector<ListenerEntry<E>> kept;
    for (auto& entry : entries) {
      if (entry.token != token) kept.push_back(std::move(entry));
    }
    entries = std::move(kept);
  }
  int listenerCount() override { return static_cast<int>(entries.size()); }
};

class AsyncEventBus {
 public:
  using Entry = std::function<void()>;

  // Starts the dispatch thread. The destructor stops and joins it; entries still queued then are
  // dropped without running.
  CORE_API AsyncEventBus();
  CORE_API ~AsyncEventBus();
  AsyncEventBus(const AsyncEventBus&) = delete;
  AsyncEventBus& operator=(const AsyncEventBus&) = delete;

  // Registers `callback` for events of type E and returns its token. The listener is active as
  // soon as this returns. A null callback is refused with -1 (delivering to it would end the
  // process). Callbacks run on the dispatch thread and must not throw.
  template <class E>
  int listen(std::function<void(const E&)> callback);

  // Number of entries waiting in the event queue (removal markers included).
  QUILLMARK_API std::size_t getQueueEventCount() const;

  // Queues the removal of every listener registered under `token`; the dispatch thread carries it
  // out, and drops every group that is empty by then.
  QUILLMARK_API void unlistenAll(int token);

  // Queues a delivery of a copy of `event`. Does not wake the dispatch thread: the publisher
  // signals wakeCondition once afterwards, holding no bus lock. The queued entry is no-throw.
  template <class E>
  void queueEvent(E event);

  // Calls every listener of E with `event`, under listenersMutex. Run by a queued entry.
  template <class E>
  void deliverEvent(const E& event);

  // Blocks until both queues are empty and no entry is running, or `timeout` passes. Returns
  // true when the bus went idle. For tests and orderly shutdown; never call it from a listener.
  CORE_API bool waitUntilIdle(std::chrono::milliseconds timeout);

  // Number of event types that have a listener group.
  CORE_API std::size_t listenerTypeCount();

 private:
  QUILLMARK_API int newToken();
  CORE_API void dispatchLoop();
  CORE_API bool runOneEntry();
  template <class E>
  static std::string typeKey() {
    return std::string(typeid(E).name());
  }

  int tokenCounter;                                 // guarded by queueMutex
  std::map<std::string, ListenerGroup*> listeners;  // guarded by listenersMutex; owns the groups
  std::mutex listenersMutex;
  mutable std::mutex queueMutex;  // guards eventQueue, tokenCounter and the dispatch state below
  std::mutex controlMutex;        // guards controlQueue; taken before queueMutex
  std::deque<Entry> eventQueue;
  std::deque<Entry> controlQueue;

  // Base library's own state. Guarded by queueMutex.
  bool stopRequested;
  int runningEntries;
  std::condition_variable idleCondition;
  std::thread dispatchThread;

 public:
  // The dispatch thread waits on it with queueMutex; publishers signal it with notify_one.
  std::condition_variable wakeCondition;
};

// The process-wide bus, created on first use.
CORE_API AsyncEventBus& GetGlobalEventBus();

template <class E>
int AsyncEventBus::listen(std::function<void(const E&)> callback) {
  if (!callback) return -1;
  const int token = newToken();
  std::lock_guard<std::mutex> lock(listenersMutex);
  ListenerGroup*& group = listeners[typeKey<E>()];
  if (group == nullptr) group = new TypedListenerGroup<E>();
  static_cast<TypedListenerGroup<E>*>(group)->entries.push_back({token, std::move(callback)});
  return token;
}

template <class E>
void AsyncEventBus::queueEvent(E event) {
  std::lock_guard<std::mutex> lock(queueMutex);
  // No-throw, like every queued entry: an exception a listener lets escape ends the process
  // (std::terminate) whatever the dispatch side would do with it.
  eventQueue.emplace_back([bus = this, copy = E(event)]() noexcept { bus->deliverEvent(copy); });
}

template <class E>
void AsyncEventBus::deliverEvent(const E& event) {
  std::lock_guard<std::mutex> lock(listenersMutex);
  const auto found = listeners.find(typeKey<E>());
  if (found == listeners.end()) return;
  for (auto& entry : static_cast<TypedListenerGroup<E>*>(found->second)->entries) {
    entry.callback(event);
  }
}

}  // namespace core
