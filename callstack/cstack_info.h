// The per-name store of recorded call stacks: one CStackInfo per object-name group of the
// resource registry, shared (std::shared_ptr, made with std::make_shared) by the group and its
// entries.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "callstack/call_stack.h"
#include "callstack/stack_pool.h"
#include "platform/debug_help.h"
#include "platform/short_lock.h"

namespace resmonitor {

// One registration's recorded stack.
struct StackEntry {
  StackEntry() = default;
  ~StackEntry() { delete stack; }
  StackEntry(const StackEntry&) = delete;
  StackEntry& operator=(const StackEntry&) = delete;

  std::string object_name;
  CallStack* stack = nullptr;  // owned; deleted through its virtual destructor
};

// Lock order: stacks_mutex, then the process-wide resolution lock (describe_stack.cpp), then
// symbol_lock; init_mutex, then symbol_lock. The resolution lock is what serialises the
// process-wide state of the subsystem (module loading, the lines kept per address);
// the resource registry resolves holding it alone, none of its own locks.
class alignas(64) CStackInfo {
 public:
  CStackInfo() = default;
  CStackInfo(const CStackInfo&) = delete;
  CStackInfo& operator=(const CStackInfo&) = delete;

  // Null until the symbol handler is started (init_symbol_handler), then the current process.
  quillmark::platform::ProcessHandle process = nullptr;
  // Serialises this record's symbol-handler calls.
  quillmark::platform::CriticalSection symbol_lock;
  // The symbol handler was started for this record. Guarded by init_mutex.
  bool symbols_ready = false;
  // Held for the whole symbol start-up.
  std::mutex init_mutex;
  // Guards stacks (and every CallStack in it, capture and resolution alike) and pool (its
  // content and the reference counts of its stacks; their text has its own lock).
  quillmark::platform::ShortLock stacks_mutex;
  std::map<void*, StackEntry> stacks;
  // The distinct stacks the resource registry recorded for this name.
  StackPool pool;
  // The max_depth of every capture; never changed.
  static constexpr std::uint32_t kStackDepth = 4;
  const std::uint32_t stack_depth = kStackDepth;
};

// Pools the captured frames under info.stacks_mutex (a new stack bound to `info`); see
// StackPool::intern.
PooledStack* intern_stack(CStackInfo& info, const CapturedFrames& captured);
// Gives up a reference on a pooled stack of `info`, under info.stacks_mutex.
void release_stack(CStackInfo& info, PooledStack* stack);

// Captures the calling thread's stack from context.return_address, as record_stack does, without
// storing it anywhere, and without the back-trace hash: such frames are pooled (intern_stack),
// and the pool goes by their own hash. Always inlined into the recording function, for the same
// reason as record_stack.
__attribute__((always_inline)) inline void capture_stack(const StackContext& context,
                                                         CapturedFrames& out) {
  capture_frames(CStackInfo::kStackDepth, 0, context, out, false);
}

// Stores `stack` (owned from now on) as the recorded stack of `ptr` under `name`, deleting the
// stack recorded earlier for the same pointer. The caller holds info.stacks_mutex.
void store_stack(CStackInfo& info, void* ptr, const std::string& name, CallStack* stack);

// Records the calling thread's stack for `ptr`: under stacks_mutex, creates a stack, binds it to
// `info`, captures it from context.return_address and stores it with `name`, replacing (and
// deleting) a stack recorded earlier for the same pointer.
//
// Always inlined into its caller, the recording function, so that the captured entries are: the
// return address inside the capture, the one inside the recording function, then the recording
// function's own return address (context.return_address) and its callers. Recording starts at
// entry 2, and all of the rest of the requested frames are kept.
__attribute__((always_inline)) inline void record_stack(CStackInfo& info, void* ptr,
                                                        const std::string& name,
                                                        const StackContext& context) {
  std::lock_guard<quillmark::platform::ShortLock> lock(info.stacks_mutex);
  std::unique_ptr<CallStack> stack(create_fast_call_stack());
  stack->bind_symbols(&info.symbol_lock, info.process);
  StackContext capture_context = context;
  stack->capture(info.stack_depth, 0, capture_context);
  store_stack(info, ptr, name, stack.release());
}

}  // namespace resmonitor
