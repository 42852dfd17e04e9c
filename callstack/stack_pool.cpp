#include "callstack/stack_pool.h"

namespace resmonitor {

namespace {

constexpr std::uint32_t kFirstFnvHash = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;

}  // namespace

std::uint32_t frames_hash(const CallStack& stack) {
  std::uint32_t hash = kFirstFnvHash;
  for (std::uint32_t i = 0; i < stack.size(); ++i) {
    const std::uint64_t pc = stack.frame(i);
    for (int shift = 0; shift < 64; shift += 8) {
      hash = (hash ^ static_cast<std::uint8_t>(pc >> shift)) * kFnvPrime;
    }
  }
  return hash;
}

bool same_frames(const CallStack& a, const CallStack& b) {
  if (a.size() != b.size()) return false;
  for (std::uint32_t i = 0; i < a.size(); ++i) {
    if (a.frame(i) != b.frame(i)) return false;
  }
  return true;
}

PooledStack* StackPool::intern(std::unique_ptr<CallStack> captured) {
  const std::uint32_t hash = frames_hash(*captured);
  const auto [first, last] = stacks_.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    if (same_frames(*it->second->stack, *captured)) {
      retain(it->second.get());
      return it->second.get();
    }
  }
  auto pooled = std::make_unique<PooledStack>();
  pooled->frames_hash = hash;
  pooled->stack = std::move(captured);
  pooled->references = 1;
  PooledStack* result = pooled.get();
  stacks_.emplace(hash, std::move(pooled));
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
