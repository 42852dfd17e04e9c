#include "platform/posix/unwind_capture.h"

#include <dlfcn.h>

namespace quillmark::platform::posix {

namespace {

constexpr std::uint64_t kFirstFnvHash = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

constexpr char kLibunwind[] = "libunwind.so.8";

PrivateBacktrace open_private_unwinder() {
  if (!kPrivateUnwinderEnabled) return nullptr;
  // RTLD_LOCAL: its symbols (libunwind defines _Unwind_* too) serve no later look-up but ours.
  void* library = dlopen(kLibunwind, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  auto* unwind = reinterpret_cast<PrivateBacktrace>(dlsym(library, "unw_backtrace"));
  if (unwind == nullptr) dlclose(library);
  return unwind;
}

}  // namespace

PrivateBacktrace private_unwinder() {
  static const PrivateBacktrace unwinder = open_private_unwinder();
  return unwinder;
}

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

std::uint32_t back_trace_hash(const std::uint64_t* back_trace, std::uint32_t count) {
  // FNV-1a over whole addresses rather than bytes: a capture hashes every time, and addresses
  // differ in their low bytes anyway.
  std::uint64_t hash = kFirstFnvHash;
  for (std::uint32_t i = 0; i < count; ++i) hash = (hash ^ back_trace[i]) * kFnvPrime;
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

}  // namespace quillmark::platform::posix
