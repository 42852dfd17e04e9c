// Where registrations pool their recorded stacks: one store per lane, and each registering thread
// keeps to the lane it was given at its first registration. Threads that register at once then
// count references on stacks of their own, in cache lines no other processor writes, wherever
// their objects lie; the registry's slices hold only a word per stack.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "callstack/cstack_info.h"

namespace resmonitor {

// A recorded stack and the lane whose store pools it, in one word: pooled stacks are aligned to
// 64 bytes, so the lane fits in the pointer's low bits. Empty: no stack was recorded.
class StackRef {
 public:
  static constexpr std::uint32_t kLaneLimit = 16;

  StackRef() = default;
  StackRef(PooledStack* stack, std::uint32_t lane)
      : bits_(reinterpret_cast<std::uintptr_t>(stack) | lane) {}

  PooledStack* stack() const { return reinterpret_cast<PooledStack*>(bits_ & ~kLaneBits); }
  std::uint32_t lane() const { return static_cast<std::uint32_t>(bits_ & kLaneBits); }
  explicit operator bool() const { return bits_ != 0; }

 private:
  static constexpr std::uintptr_t kLaneBits = kLaneLimit - 1;
  static_assert(alignof(PooledStack) >= kLaneLimit, "the lane lives in the stack's low bits");

  std::uintptr_t bits_ = 0;
};

class StackStores {
 public:
  static constexpr std::uint32_t kLanes = StackRef::kLaneLimit;

  StackStores() = default;
  StackStores(const StackStores&) = delete;
  StackStores& operator=(const StackStores&) = delete;

  // Pools `captured` in the calling thread's lane, with one reference for the caller. Takes that
  // store's lock; may allocate (std::bad_alloc changes nothing).
  StackRef intern(const CapturedFrames& captured);
  // Gives up one reference on `stack` in the store that pools it (nothing for an empty one,
  // which costs no call: registrations without stacks give one up at every add and remove).
  void release(StackRef stack) {
    if (stack) release_pooled(stack);
  }
  CStackInfo& store(std::uint32_t lane) { return lanes_[lane].store; }

  // Every store's lock, in lane order (around a fork).
  void lock_all();
  void unlock_all();

 private:
  // Two cache lines apart: one lane's counts must not travel with its neighbour's.
  struct alignas(128) Lane {
    CStackInfo store;
    // Whether the store shares the process's symbol handler already.
    std::atomic<bool> handler_shared{false};
  };

  static std::uint32_t lane_of_this_thread();
  void release_pooled(StackRef stack);

  std::array<Lane, kLanes> lanes_;
};

// One reference on a pooled stack, given up when it goes unless passed on.
class HeldStack {
 public:
  HeldStack(StackStores& stores, StackRef stack) : stores_(stores), stack_(stack) {}
  ~HeldStack() { stores_.release(stack_); }
  HeldStack(const HeldStack&) = delete;
  HeldStack& operator=(const HeldStack&) = delete;

  StackRef get() const { return stack_; }
  void pass_on() { stack_ = StackRef(); }

 private:
  StackStores& stores_;
  StackRef stack_;
};

}  // namespace resmonitor
