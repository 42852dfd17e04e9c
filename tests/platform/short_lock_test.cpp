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

}  // namespace
