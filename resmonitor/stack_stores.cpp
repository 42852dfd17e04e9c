#include "resmonitor/stack_stores.h"

#include "callstack/symbol_handler.h"

namespace resmonitor {

std::uint32_t StackStores::lane_of_this_thread() {
  // Handed out in turn, so that threads that start together get lanes of their own. Zero until
  // the thread's first registration; then the lane plus one.
  static std::atomic<std::uint32_t> next_lane{0};
  thread_local std::uint32_t lane_plus_one = 0;
  if (lane_plus_one == 0) {
    lane_plus_one = next_lane.fetch_add(1, std::memory_order_relaxed) % kLanes + 1;
  }
  return lane_plus_one - 1;
}

StackRef StackStores::intern(const CapturedFrames& captured) {
  const std::uint32_t lane = lane_of_this_thread();
  Lane& chosen = lanes_[lane];
  // The registry starts the handler for each new name; a store takes the process from it before
  // its first stack is bound.
  if (!chosen.handler_shared.load(std::memory_order_acquire)) {
    share_symbol_handler(chosen.store);
    chosen.handler_shared.store(true, std::memory_order_release);
  }
  return StackRef(intern_stack(chosen.store, captured), lane);
}

void StackStores::release_pooled(StackRef stack) {
  release_stack(store(stack.lane()), stack.stack());
}

void StackStores::lock_all() {
  for (Lane& lane : lanes_) lane.store.stacks_mutex.lock();
}

void StackStores::unlock_all() {
  for (auto lane = lanes_.rbegin(); lane != lanes_.rend(); ++lane)
    lane->store.stacks_mutex.unlock();
}

}  // namespace resmonitor
