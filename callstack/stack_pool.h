// Interned call stacks: registrations from one call site record equal stacks, so each distinct
// stack is stored (and later resolved to text) once, shared by every registration that has it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "callstack/call_stack.h"
#include "callstack/frame_modules.h"

namespace resmonitor {

// One distinct stack of a pool and the registrations that share it.
struct alignas(64) PooledStack {
  PooledStack() = default;
  ~PooledStack();
  PooledStack(const PooledStack&) = delete;
  PooledStack& operator=(const PooledStack&) = delete;

  std::uint32_t frames_hash = 0;
  std::unique_ptr<CallStack> stack;
  // The module of each frame when the stack was recorded (null for the hidden frames and for
  // frames outside any module), one shared record per module; set once, with the stack.
  std::unique_ptr<const FrameModule*[]> modules;
  // Registrations and in-flight queries holding the stack. Guarded by the pool's owner lock
  // (CStackInfo::stacks_mutex).
  std::uint32_t references = 0;
  // The resolved frame lines in UTF-8, normalised as the query text shows them; set once.
  // Guarded by the process-wide resolution mutex (describe_stack.h).
  bool text_ready = false;
  std::string text;
};

// The distinct stacks of one store. Not locked itself: the owning CStackInfo's stacks_mutex
// guards every call.
class StackPool {
 public:
  StackPool() = default;
  StackPool(const StackPool&) = delete;
  StackPool& operator=(const StackPool&) = delete;

  // The pooled stack with the frames of `captured`, with one more reference; made when no equal
  // stack is pooled yet (the only allocations here, along with the module records of its frames).
  PooledStack* intern(const CapturedFrames& captured);
  void retain(PooledStack* stack);
  // Drops one reference. A stack without references stays pooled (idle) for a while: a call
  // site that registers and removes one object at a time would otherwise build its stack (and
  // lose its text) at every registration. Idle stacks leave the pool once more than
  // kMaxIdleStacks have gathered.
  void release(PooledStack* stack);

  // While the pool is pinned (by readers that copied stack pointers without taking references:
  // registry snapshots), no stack leaves it; the idle ones gathered meanwhile leave after the
  // last unpin.
  void pin() { ++pins_; }
  void unpin();

  // The stacks that have references.
  std::size_t size() const { return stacks_.size() - idle_; }
  std::size_t idle() const { return idle_; }

  static constexpr std::size_t kMaxIdleStacks = 16;

 private:
  void drop_idle_stacks();

  std::unordered_multimap<std::uint32_t, std::unique_ptr<PooledStack>> stacks_;
  std::size_t idle_ = 0;  // stacks without references
  std::size_t pins_ = 0;
};

bool same_frames(const CallStack& pooled, const CapturedFrames& captured);

}  // namespace resmonitor
