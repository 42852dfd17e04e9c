// Stack capture with libgcc's unwinder (_Unwind_Backtrace), the same one C++ exceptions use, so
// nothing here can take over the host's exception unwinding.
#pragma once

#include <unwind.h>

#include <cstdint>

namespace quillmark::platform::posix {

struct UnwindState {
  std::uint64_t* back_trace;
  std::uint32_t to_skip;
  std::uint32_t capacity;
  std::uint32_t count;
};

// The unwinder's callback: leaves out `to_skip` frames, then stores return addresses until
// `capacity` is reached.
_Unwind_Reason_Code record_frame(_Unwind_Context* context, void* state);

// Writes the return addresses of the calling thread into `back_trace`, innermost first, at most
// `capacity` entries, and returns how many were written. Always inlined, so that the unwinder's
// first frame is the function this is inlined into: entry 0 is the return address inside that
// function's caller, once `frames_to_skip` entries are left out.
__attribute__((always_inline)) inline std::uint32_t unwind_back_trace(std::uint32_t frames_to_skip,
                                                                      std::uint32_t capacity,
                                                                      std::uint64_t* back_trace) {
  UnwindState state{back_trace, frames_to_skip + 1, capacity, 0};
  _Unwind_Backtrace(record_frame, &state);
  return state.count;
}

// FNV-1a over the bytes of the addresses: the 32-bit hash of a back-trace.
std::uint32_t back_trace_hash(const std::uint64_t* back_trace, std::uint32_t count);

}  // namespace quillmark::platform::posix
