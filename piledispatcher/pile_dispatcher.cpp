#include <quillmark/pile_dispatcher.h>

#include <atomic>

namespace PileDispatcher {

// The dispatcher handed out while the host has installed none.
class UIPerformancePileDispatcherImpl final : public UIPerformancePileDispatcher {
 public:
  void DispatchPile(const char*, const std::int64_t*, std::size_t) override {}
};

namespace {
// Zero at load. No ordering is needed: the pointer is the only thing published.
std::atomic<UIPerformancePileDispatcher*> g_installed{nullptr};
}  // namespace

}  // namespace PileDispatcher

extern "C" void SetUIPerformancePileDispatcher(
    PileDispatcher::UIPerformancePileDispatcher* dispatcher) {
  PileDispatcher::g_installed.store(dispatcher, std::memory_order_relaxed);
}

extern "C" PileDispatcher::UIPerformancePileDispatcher* GetPileDispatcher() {
  if (auto* installed = PileDispatcher::g_installed.load(std::memory_order_relaxed)) {
    return installed;
  }
  static PileDispatcher::UIPerformancePileDispatcherImpl fallback;
  return &fallback;
}
