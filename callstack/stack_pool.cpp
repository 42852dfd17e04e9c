#include "callstack/stack_pool.h"

namespace resmonitor {

namespace {

constexpr std::uint64_t kFirstFnvHash = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

}  // namespace

std::uint32_t frames_hash(const CallStack& stack) {
  std::uint64_t hash = kFirstFnvHash;
  for (std::uint32_t i = 0; i < stack.size(); ++i) hash = (hash ^ stack.frame(i)) * kFnvPrime;
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

bool same_frames(const CallStack& a, const CallStack& b) {
  if (a.size() != b.size()) return false;
  for (std::uint32_t i = 0; i < a.size(); ++i) {
    if (a.frame(i) != b.frame(i)) return false;
  }
  return true;
}

PooledStack* StackPool::intern(std::unique_ptr<CallStack>& captured) {
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
