// Stack capture on Linux. The fastest way is the rule cache (cached_unwind.h), for stacks whose
// frames all have the common shapes. Otherwise libunwind's unw_backtrace, opened privately at run
// time (dlopen with RTLD_LOCAL): none of its _Unwind_* symbols become visible to the process, so
// the host's C++ exceptions keep libgcc's unwinder, and a host that links libunwind itself keeps
// its own settings (we change none). Where libunwind.so.8 is missing, or it cannot unwind, libgcc's
// _Unwind_Backtrace (the unwinder C++ exceptions use) takes the stack; both give the same frames.
#pragma once

#include <unwind.h>

#include <cstdint>

#include "platform/posix/cached_unwind.h"

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

// libunwind's unw_backtrace: the return addresses of the calling thread, the first one inside the
// function that called it. Opened on first use; null when libunwind.so.8 cannot be opened. The
// library stays loaded for the life of the process: its per-thread state must outlive every
// thread that unwound through it.
using PrivateBacktrace = int (*)(void** frames, int count);
PrivateBacktrace private_unwinder();

// ThreadSanitizer cannot follow libunwind: its per-thread cache is freed by a thread-exit
// destructor that takes a lock after the sanitizer has let go of the thread, which crashes the
// sanitizer. Those builds always capture with libgcc.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kPrivateUnwinderEnabled = false;
#else
inline constexpr bool kPrivateUnwinderEnabled = true;
#endif

// The most frames the private unwinder is asked for at once; longer requests go to libgcc.
inline constexpr std::uint32_t kMaxPrivateFrames = 128;

// The capture functions below write the return addresses of the calling thread into
// `back_trace`, innermost first, at most `capacity` entries, and return how many were written.
// Each is always inlined, so that the unwinder's first frame is the function it is inlined into:
// entry 0 is the return address inside that function's caller, once `frames_to_skip` entries are
// left out. A zero address ends the trace.

// With libgcc's _Unwind_Backtrace.
__attribute__((always_inline)) inline std::uint32_t libgcc_back_trace(std::uint32_t frames_to_skip,
                                                                      std::uint32_t capacity,
                                                                      std::uint64_t* back_trace) {
  UnwindState state{back_trace, frames_to_skip + 1, capacity, 0};
  _Unwind_Backtrace(record_frame, &state);
  return state.count;
}

// With the private unwinder; 0 when it is missing or found no frame beyond the skipped ones.
__attribute__((always_inline)) inline std::uint32_t private_back_trace(std::uint32_t frames_to_skip,
                                                                       std::uint32_t capacity,
                                                                       std::uint64_t* back_trace) {
  const PrivateBacktrace unwind = private_unwinder();
  const std::uint64_t wanted = std::uint64_t{frames_to_skip} + 1 + capacity;
  if (unwind == nullptr || wanted > kMaxPrivateFrames) return 0;
  void* frames[kMaxPrivateFrames];
  const int got = unwind(frames, static_cast<int>(wanted));
  std::uint32_t count = 0;
  for (std::uint32_t i = frames_to_skip + 1; static_cast<int>(i) < got && count < capacity; ++i) {
    if (frames[i] == nullptr) break;
    back_trace[count++] = reinterpret_cast<std::uintptr_t>(frames[i]);
  }
  return count;
}

// With the rule cache; 0 when a frame has another shape.
__attribute__((always_inline)) inline std::uint32_t cached_back_trace(std::uint32_t frames_to_skip,
                                                                      std::uint32_t capacity,
                                                                      std::uint64_t* back_trace) {
  return cached_unwind(back_trace, capacity, frames_to_skip + 1);
}

// The rule cache, else the private unwinder, else libgcc's.
__attribute__((always_inline)) inline std::uint32_t unwind_back_trace(std::uint32_t frames_to_skip,
                                                                      std::uint32_t capacity,
                                                                      std::uint64_t* back_trace) {
  if (capacity == 0) return 0;
  std::uint32_t count = cached_back_trace(frames_to_skip, capacity, back_trace);
  if (count == 0) count = private_back_trace(frames_to_skip, capacity, back_trace);
  return count != 0 ? count : libgcc_back_trace(frames_to_skip, capacity, back_trace);
}

// Whether the code at `address` is the x86-64 Linux signal trampoline
// (mov $15, %rax; syscall: the rt_sigreturn call every handler returns into), as unwinders
// recognise it. The code is read without trusting the address: an unmapped one gives false.
bool is_signal_trampoline(std::uint64_t address);

// The hash of a back-trace (platform/frame_hash.h).
std::uint32_t back_trace_hash(const std::uint64_t* back_trace, std::uint32_t count);

}  // namespace quillmark::platform::posix
