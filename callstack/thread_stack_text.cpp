#include "callstack/thread_stack_text.h"

#include <mutex>

#include "callstack/call_stack.h"
#include "callstack/cstack_info.h"
#include "callstack/describe_stack.h"
#include "callstack/symbol_handler.h"

namespace resmonitor {

namespace {

// Resolution hides frames 0 and 1 of a recorded stack (the registration and its caller); a
// thread's stack has no such frames, so placeholders take their places.
constexpr std::uint32_t kHiddenFrames = 2;

// The store that thread stacks are resolved through, with the lock that guards its one entry;
// never destroyed, like the symbol state it holds.
CStackInfo& thread_stacks() {
  static CStackInfo* info = new CStackInfo;
  return *info;
}

std::mutex& thread_stacks_mutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

bool in_this_library(std::uint64_t pc) {
  static const auto own_base = quillmark::platform::debug_help().allocation_base(
      reinterpret_cast<std::uintptr_t>(&describe_thread_stack));
  return own_base != nullptr && quillmark::platform::debug_help().allocation_base(pc) == own_base;
}

// The text after the header line that describe_stack puts first.
std::string without_header(const std::string& text) {
  const std::size_t end_of_header = text.find('\n');
  return end_of_header == std::string::npos ? std::string() : text.substr(end_of_header + 1);
}

}  // namespace

// init_symbol_handler and describe_stack take resolution_mutex themselves.
std::string describe_thread_stack(const std::uint64_t* frames, std::uint32_t count,
                                  std::uint32_t max_frames) {
  std::lock_guard<std::mutex> lock(thread_stacks_mutex());
  std::uint32_t first = 0;
  while (first < count && in_this_library(frames[first])) ++first;
  if (first == count) first = 0;  // nothing but our own frames: show them rather than nothing

  CStackInfo& info = thread_stacks();
  init_symbol_handler(info);
  static int key = 0;
  StackEntry& entry = info.stacks[&key];
  delete entry.stack;
  entry.stack = create_fast_call_stack();
  entry.stack->bind_symbols(&info.symbol_lock, info.process);
  for (std::uint32_t i = 0; i < kHiddenFrames; ++i) entry.stack->push_frame(0);
  for (std::uint32_t i = first; i < count && i - first < max_frames; ++i) {
    entry.stack->push_frame(frames[i]);
  }
  return without_header(describe_stack(info, &key));
}

}  // namespace resmonitor
