#include "platform/posix/unwind_capture.h"

#include <dlfcn.h>

namespace quillmark::platform::posix {

namespace {

constexpr std::uint32_t kFirstFnvHash = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;

constexpr char kLibunwind[] = "libunwind.so.8";

PrivateBacktrace open_private_unwinder() {
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
  std::uint32_t hash = kFirstFnvHash;
  for (std::uint32_t i = 0; i < count; ++i) {
    for (int shift = 0; shift < 64; shift += 8) {
      hash = (hash ^ static_cast<std::uint8_t>(back_trace[i] >> shift)) * kFnvPrime;
    }
  }
  return hash;
}

}  // namespace quillmark::platform::posix
