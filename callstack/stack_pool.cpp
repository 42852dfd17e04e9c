#include "callstack/stack_pool.h"

namespace resmonitor {

bool same_frames(const CallStack& pooled, const CapturedFrames& captured) {
  if (pooled.size() != captured.count) return false;
  for (std::uint32_t i = 0; i < captured.count; ++i) {
    if (pooled.frame(i) != captured.frames[i]) return false;
  }
  return true;
}

PooledStack* StackPool::intern(const CapturedFrames& captured) {
  const auto [first, last] = stacks_.equal_range(captured.frames_hash);
  for (auto it = first; it != last; ++it) {
    if (same_frames(*it->second->stack, captured)) {
      retain(it->second.get());
      return it->second.get();
    }
  }
  auto stack = std::make_unique<FastCallStack>();
  stack->assign(captured);
  auto pooled = std::make_unique<PooledStack>();
  pooled->frames_hash = captured.frames_hash;
  pooled->stack = std::move(stack);
  pooled->references = 1;
  PooledStack* result = pooled.get();
  stacks_.emplace(captured.frames_hash, std::move(pooled));
  return result;
}

void StackPool::release(PooledStack* stack) {
  if (--stack->references != 0) return;
  const auto [first, last] = stacks_.equal_range(stack->frames_hash);
  for (auto it = first; it != last; ++it) {
    if (it->second.get() == stack) {
      stacks_.erase(it);
      return;
    }
  }
}

}  // namespace resmonitor
