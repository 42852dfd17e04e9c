#include "callstack/stack_pool.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace resmonitor {

// Chunk by chunk: every registration that finds its stack pooled compares all its frames.
bool same_frames(const CallStack& pooled, const CapturedFrames& captured) {
  if (pooled.size() != captured.count) return false;
  const FrameChunk* chunk = &pooled.first_chunk();
  for (std::uint32_t first = 0; first < captured.count; first += FrameChunk::kSlots) {
    const std::uint32_t in_chunk = std::min(FrameChunk::kSlots, captured.count - first);
    if (std::memcmp(chunk->frames, captured.frames + first, in_chunk * sizeof(std::uint64_t)) !=
        0) {
      return false;
    }
    chunk = chunk->next;
  }
  return true;
}

PooledStack::~PooledStack() {
  if (modules != nullptr) release_frame_modules(modules.get(), stack->size());
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
  // Noted once, for the stack's life: a registration that finds its stack pooled costs no look-up.
  // (So a module loaded in the place of an unloaded one, whose registration has exactly the
  // frames of a stack the unloaded module left in the pool, shares that stack's modules.)
  pooled->modules.reset(new const FrameModule*[captured.count]());
  record_frame_modules(captured.frames, CallStack::kHiddenFrames, captured.count,
                       pooled->modules.get());
  pooled->references = 1;
  PooledStack* result = pooled.get();
  stacks_.emplace(captured.frames_hash, std::move(pooled));
  return result;
}

void StackPool::retain(PooledStack* stack) {
  if (stack->references++ == 0) --idle_;
}

void StackPool::release(PooledStack* stack) {
  if (--stack->references != 0) return;
  if (++idle_ > kMaxIdleStacks && pins_ == 0) drop_idle_stacks();
}

void StackPool::unpin() {
  if (--pins_ == 0 && idle_ > kMaxIdleStacks) drop_idle_stacks();
}

void StackPool::drop_idle_stacks() {
  for (auto it = stacks_.begin(); it != stacks_.end();) {
    it = it->second->references == 0 ? stacks_.erase(it) : std::next(it);
  }
  idle_ = 0;
}

}  // namespace resmonitor
