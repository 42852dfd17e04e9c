#include "platform/posix/unwind_capture.h"

#include "platform/frame_hash.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

#include <atomic>

namespace quillmark::platform::posix {

namespace {

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

// Set in the child of a fork. libunwind keeps caches behind locks of its own, which a thread of
// the parent may have held when the process was copied: the child captures with libgcc instead.
std::atomic<bool> g_in_forked_child{false};

void note_forked_child() { g_in_forked_child.store(true, std::memory_order_relaxed); }

[[maybe_unused]] const bool g_fork_noted = [] {
  pthread_atfork(nullptr, nullptr, &note_forked_child);
  return true;
}();

}  // namespace

PrivateBacktrace private_unwinder() {
  // Opened by the first capture. Not a guarded local static: a thread waiting for another's
  // initialisation would wait forever in the child of a fork made meanwhile. Captures that come
  // while another thread opens it use libgcc.
  enum : int { kUnopened, kOpening, kOpened };
  static std::atomic<int> state{kUnopened};
  static std::atomic<PrivateBacktrace> unwinder{nullptr};
  if (g_in_forked_child.load(std::memory_order_relaxed)) return nullptr;
  int seen = state.load(std::memory_order_acquire);
  if (seen == kOpened) return unwinder.load(std::memory_order_relaxed);
  if (seen != kUnopened || !state.compare_exchange_strong(seen, kOpening)) return nullptr;
  unwinder.store(open_private_unwinder(), std::memory_order_relaxed);
  state.store(kOpened, std::memory_order_release);
  return unwinder.load(std::memory_order_relaxed);
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

bool is_signal_trampoline(std::uint64_t address) {
  static const unsigned char kSigreturn[] = {0x48, 0xC7, 0xC0, 0x0F, 0x00, 0x00, 0x00, 0x0F, 0x05};
  unsigned char code[sizeof kSigreturn];
  // Read through the kernel, which reports an unmapped page instead of faulting.
  iovec local{code, sizeof code};
  iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), sizeof code};
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) ==
             static_cast<ssize_t>(sizeof code) &&
         std::memcmp(code, kSigreturn, sizeof code) == 0;
}

std::uint32_t back_trace_hash(const std::uint64_t* back_trace, std::uint32_t count) {
  return hash_of_frames(back_trace, count);
}

}  // namespace quillmark::platform::posix
