#include <quillmark/pile_dispatcher.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class CountingDispatcher : public PileDispatcher::UIPerformancePileDispatcher {
 public:
  void DispatchPile(const char*, const std::int64_t*, std::size_t count) override {
    samples += static_cast<int>(count);
  }
  int samples = 0;
};

// The slot is process-wide: every test leaves it empty again.
class PileDispatcherSlot : public ::testing::Test {
 protected:
  void TearDown() override { SetUIPerformancePileDispatcher(nullptr); }
};

// The default is stable and does nothing, whatever it is given.
TEST_F(PileDispatcherSlot, InstallWithdrawReplace) {
  PileDispatcher::UIPerformancePileDispatcher* fallback = GetPileDispatcher();
  ASSERT_NE(fallback, nullptr);
  EXPECT_EQ(GetPileDispatcher(), fallback);
  fallback->DispatchPile(nullptr, nullptr, 0);
  CountingDispatcher p;
  CountingDispatcher q;
  SetUIPerformancePileDispatcher(&p);
  EXPECT_EQ(GetPileDispatcher(), &p);
  SetUIPerformancePileDispatcher(nullptr);
  EXPECT_EQ(GetPileDispatcher(), fallback);
  SetUIPerformancePileDispatcher(&q);
  EXPECT_EQ(GetPileDispatcher(), &q);

  const std::int64_t samples[] = {5, 6, 7};
  GetPileDispatcher()->DispatchPile("ui", samples, 3);
  EXPECT_EQ(q.samples, 3);
  EXPECT_EQ(p.samples, 0);
}

TEST_F(PileDispatcherSlot, RacingFetchesSeeOldOrNew) {
  CountingDispatcher installed;
  PileDispatcher::UIPerformancePileDispatcher* fallback = GetPileDispatcher();
  std::atomic<bool> wrong{false};
  std::thread reader([&] {
    for (int i = 0; i < 20000; ++i) {
      auto* seen = GetPileDispatcher();
      if (seen != fallback && seen != &installed) wrong = true;
    }
  });
  for (int i = 0; i < 20000; ++i) {
    SetUIPerformancePileDispatcher(i % 2 ? &installed : nullptr);
  }
  reader.join();
  EXPECT_FALSE(wrong.load());
}

}  // namespace
