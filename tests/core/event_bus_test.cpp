#include <core/async_event_bus.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/gate.h"

namespace {

using namespace std::chrono_literals;

struct Ping {
  int value;
};
struct Pong {
  std::string text;
};

template <class E>
void publish(core::AsyncEventBus& bus, E event) {
  bus.queueEvent(event);
  bus.wakeCondition.notify_one();
}

// Holds the dispatch thread inside a listener until opened, so that queue counts can be
// observed while the dispatch side takes nothing.
class DispatchGate {
 public:
  explicit DispatchGate(core::AsyncEventBus& bus) : bus_(bus) {
    bus_.listen<Held>([this](const Held&) { gate_.hold(); });
  }
  void close() {
    publish(bus_, Held{});
    ASSERT_TRUE(gate_.wait_until_held());
  }
  void open() { gate_.release(); }

 private:
  struct Held {};
  core::AsyncEventBus& bus_;
  quillmark::testing::Gate gate_;
};

TEST(EventBus, DeliversByTypeInRegistrationOrder) {
  core::AsyncEventBus bus;
  std::vector<std::string> calls;  // written only on the dispatch thread, read after idle
  bus.listen<Ping>([&](const Ping& ping) { calls.push_back("a" + std::to_string(ping.value)); });
  bus.listen<Pong>([&](const Pong& pong) { calls.push_back("pong " + pong.text); });
  bus.listen<Ping>([&](const Ping& ping) { calls.push_back("b" + std::to_string(ping.value)); });

  publish(bus, Ping{7});
  {
    Pong original{"x"};
    bus.queueEvent(original);
    original.text = "changed after queueing";  // the listener sees its own copy
  }
  bus.wakeCondition.notify_one();
  ASSERT_TRUE(bus.waitUntilIdle(20s));
  EXPECT_EQ(calls, (std::vector<std::string>{"a7", "b7", "pong x"}));
}

TEST(EventBus, QueueCountsEventsAndRemovalMarkers) {
  core::AsyncEventBus bus;
  DispatchGate gate(bus);
  gate.close();

  EXPECT_EQ(bus.getQueueEventCount(), 0u);
  bus.queueEvent(Ping{1});
  EXPECT_EQ(bus.getQueueEventCount(), 1u);
  bus.queueEvent(Pong{"y"});
  EXPECT_EQ(bus.getQueueEventCount(), 2u);
  bus.unlistenAll(12345);  // the marker counts like an event
  EXPECT_EQ(bus.getQueueEventCount(), 3u);

  gate.open();
  ASSERT_TRUE(bus.waitUntilIdle(20s));
  EXPECT_EQ(bus.getQueueEventCount(), 0u);
}

// An event nobody listens to is dropped without making a group for its type; tokens are
// consecutive, and a removal marker with a token never handed out changes nothing.
TEST(EventBus, UnlistenAllStopsCallbacksAndDropsEmptyGroups) {
  core::AsyncEventBus bus;
  publish(bus, Ping{1});
  ASSERT_TRUE(bus.waitUntilIdle(20s));
  EXPECT_EQ(bus.getQueueEventCount(), 0u);
  EXPECT_EQ(bus.listenerTypeCount(), 0u);
  std::atomic<int> removed_calls{0};
  std::atomic<int> kept_calls{0};
  EXPECT_EQ(bus.listen<Ping>(nullptr), -1);
  EXPECT_EQ(bus.listenerTypeCount(), 0u) << "a null callback is refused";
  const int removed = bus.listen<Ping>([&](const Ping&) { ++removed_calls; });
  EXPECT_EQ(bus.listen<Pong>([&](const Pong&) { ++kept_calls; }), removed + 1);
  EXPECT_EQ(bus.listenerTypeCount(), 2u);

  bus.unlistenAll(removed);
  bus.unlistenAll(987654);  // never handed out
  ASSERT_TRUE(bus.waitUntilIdle(20s));
  EXPECT_EQ(bus.listenerTypeCount(), 1u);

  publish(bus, Ping{1});
  publish(bus, Pong{"z"});
  ASSERT_TRUE(bus.waitUntilIdle(20s));
  EXPECT_EQ(removed_calls.load(), 0);
  EXPECT_EQ(kept_calls.load(), 1);
}

TEST(EventBus, ConcurrentPublishersAllDelivered) {
  core::AsyncEventBus bus;
  std::atomic<int> sum{0};
  bus.listen<Ping>([&](const Ping& ping) { sum += ping.value; });
  std::vector<std::thread> publishers;
  for (int t = 0; t < 4; ++t) {
    publishers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) publish(bus, Ping{1});
    });
  }
  for (auto& thread : publishers) thread.join();
  ASSERT_TRUE(bus.waitUntilIdle(20s));
  EXPECT_EQ(sum.load(), 2000);
}

// A listener that lets an exception escape. Its local sentinel says whether the stack was unwound
// before the process ended: a no-throw queued entry unwinds down to itself and then terminates,
// whereas an exception left to escape the dispatch thread would end the process unwound.
struct Unwound {
  ~Unwound() {
    std::fputs("listener unwound to the queued entry\n", stderr);
    std::fflush(stderr);
  }
};

void deliver_to_throwing_listener() {
  core::AsyncEventBus bus;
  bus.listen<Ping>([](const Ping&) {
    const Unwound sentinel;
    throw std::runtime_error("listener failed");
  });
  publish(bus, Ping{1});
  bus.waitUntilIdle(20s);
  std::fputs("the process survived\n", stderr);
}

#if defined(_WIN32) || defined(NDEBUG)
// Windows' unwinder ends the process before it unwinds anything, and so may GCC's when the
// entry is optimised (it is free to leave a no-throw function without a landing pad): then
// only the termination shows.
constexpr const char* kTermination = "listener failed";
#else
constexpr const char* kTermination = "listener unwound to the queued entry";
#endif

TEST(EventBusDeathTest, ExceptionFromAListenerEndsTheProcessAtTheQueuedEntry) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(deliver_to_throwing_listener(), kTermination);
}

}  // namespace
