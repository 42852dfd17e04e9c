#include "callstack/thread_stack_text.h"

#include "callstack/call_stack.h"
#include "callstack/cstack_info.h"
#include "callstack/describe_stack.h"
#include "callstack/stack_pool.h"
#include "callstack/symbol_handler.h"

namespace resmonitor {

namespace {

// The store that thread stacks are pooled and resolved through; never destroyed, like the
// symbol state it holds.
CStackInfo& thread_stacks() {
  static CStackInfo* info = new CStackInfo;
  return *info;
}

bool in_this_library(std::uint64_t pc) {
  static const auto own_base = quillmark::platform::debug_help().allocation_base(
      reinterpret_cast<std::uintptr_t>(&describe_thread_stack));
  return own_base != nullptr && quillmark::platform::debug_help().allocation_base(pc) == own_base;
}

// The frames shown, as a registration's stack holds them: a recorded stack starts with the
// registration and its caller, which are never shown and which a thread's stack does not have.
CapturedFrames shown_frames(const std::uint64_t* frames, std::uint32_t count,
                            std::uint32_t max_frames) {
  std::uint32_t first = 0;
  while (first < count && in_this_library(frames[first])) ++first;
  if (first == count) first = 0;  // nothing but our own frames: show them rather than nothing
  CapturedFrames captured;
  while (captured.count < CallStack::kHiddenFrames) captured.frames[captured.count++] = 0;
  for (std::uint32_t i = first;
       i < count && i - first < max_frames && captured.count < CapturedFrames::kCapacity; ++i) {
    captured.frames[captured.count++] = frames[i];
  }
  captured.frames_hash = hash_of_frames(captured.frames, captured.count);
  return captured;
}

}  // namespace

// The same road as a registration's stack: pooled (its frames' modules noted), then resolved.
// init_symbol_handler and describe_pooled_frames take resolution_mutex themselves.
std::string describe_thread_stack(const std::uint64_t* frames, std::uint32_t count,
                                  std::uint32_t max_frames) {
  CStackInfo& info = thread_stacks();
  init_symbol_handler(info);
  PooledStack* stack = intern_stack(info, shown_frames(frames, count, max_frames));
  std::string text;
  try {
    text = describe_pooled_frames(info, *stack);
  } catch (...) {
    release_stack(info, stack);
    throw;
  }
  release_stack(info, stack);
  return text;
}

}  // namespace resmonitor
