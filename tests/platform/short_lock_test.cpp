#include "platform/short_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using quillmark::platform::ShortLock;

TEST(ShortLock, TryLockFailsWhileHeldAndSucceedsOnceFree) {
  ShortLock lock;
  ASSERT_TRUE(lock.try_lock());
  std::thread other([&] { EXPECT_FALSE(lock.try_lock()); });
  other.join();
  lock.unlock();
  std::thread again([&] {
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
  });
  again.join();
}

// Many threads on one lock, each holding it long enough that the others give up waiting and
// sleep: every increment must survive, and every sleeper must be woken (else the join hangs).
TEST(ShortLock, ExcludesAndWakesEverySleeperUnderContention) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 20000;
  ShortLock lock;
  long counter = 0;            // guarded by lock; deliberately not atomic
  std::atomic<int> inside{0};  // threads inside the lock at once: never more than one
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        std::lock_guard<ShortLock> hold(lock);
        EXPECT_EQ(inside.fetch_add(1), 0);
        for (int step = 0; step < 20; ++step) ++counter;
        inside.fetch_sub(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, 20L * kThreads * kRounds);
}

// A thread that waits while the holder keeps the lock for a long time gets it on release.
TEST(ShortLock, WaiterGetsTheLockWhenTheHolderLetsGo) {
  ShortLock lock;
  lock.lock();
  std::atomic<bool> waiting{false};
  std::atomic<bool> got_it{false};
  std::thread waiter([&] {
    waiting.store(true);
    lock.lock();
    got_it.store(true);
    lock.unlock();
  });
  while (!waiting.load()) std::this_thread::yield();
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();  // let it reach the sleep
  EXPECT_FALSE(got_it.load());
  lock.unlock();
  waiter.join();
  EXPECT_TRUE(got_it.load());
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

}  // namespace
