#include "platform/posix/unwind_capture.h"

#include <unwind.h>

namespace quillmark::platform::posix {

namespace {

constexpr std::uint32_t kFirstFnvHash = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;

struct UnwindState {
  std::uint64_t* back_trace;
  std::uint32_t to_skip;
  std::uint32_t capacity;
  std::uint32_t count;
};

_Unwind_Reason_Code record_frame(_Unwind_Context* context, void* argument) {
  auto* state = static_cast<UnwindState*>(argument);
  const std::uint64_t pc = _Unwind_GetIP(context);
  if (pc == 0) return _URC_END_OF_STACK;
  if (state->to_skip > 0) {
    --state->to_skip;
    return _URC_NO_REASON;
  }
  if (state->count >= state->capacity) return _URC_END_OF_STACK;
  state->back_trace[state->count++] = pc;
  return _URC_NO_REASON;
}

}  // namespace

// Never inlined: the unwinder's first frame is this function's, which is left out.
__attribute__((noinline)) std::uint32_t unwind_back_trace(std::uint32_t frames_to_skip,
                                                          std::uint32_t capacity,
                                                          std::uint64_t* back_trace) {
  UnwindState state{back_trace, frames_to_skip + 1, capacity, 0};
  _Unwind_Backtrace(record_frame, &state);
  asm volatile("" ::: "memory");  // keeps the call above from becoming a jump
  return state.count;
}

std::uint32_t back_trace_hash(const std::uint64_t* back_trace, std::uint32_t count) {
  std::uint32_t hash = kFirstFnvHash;
  for (std::uint32_t i = 0; i < count; ++i) {
    for (int shift = 0; shift < 64; shift += 8) {
      hash = (hash ^ static_cast<std::uint8_t>(back_trace[i] >> shift)) * kFnvPrime;
    }
  }
  return hash;
}

}  // namespace quillmark::platform::posix
