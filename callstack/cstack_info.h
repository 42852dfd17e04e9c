// The per-name store of recorded call stacks: one CStackInfo per object-name group of the
// resource registry, shared (std::shared_ptr, made with std::make_shared) by the group and its
// entries.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "callstack/call_stack.h"
#include "platform/debug_help.h"

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

// Lock order: stacks_mutex, then symbol_lock; init_mutex, then symbol_lock. Callers also hold the
// resource monitor's registry mutex around symbol start-up and describe_stack(), which is what
// serialises the process-wide state of the subsystem (line buffer, module loading, symbol
// handler).
class CStackInfo {
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
  // Guards stacks (and every CallStack in it, capture and resolution alike).
  std::mutex stacks_mutex;
  std::map<void*, StackEntry> stacks;
  // The max_depth of every capture; never changed.
  const std::uint32_t stack_depth = 4;
};

// Records the calling thread's stack for `ptr`: under stacks_mutex, creates a stack, binds it to
// `info`, captures it from context.return_address and stores it with `name`, replacing (and
// deleting) a stack recorded earlier for the same pointer. Never inlined, so the captured frames
// are: this function's capture call, this function, then the caller's frames.
__attribute__((noinline)) void record_stack(CStackInfo& info, void* ptr, const std::string& name,
                                            const StackContext& context);

}  // namespace resmonitor
