// Windows: another thread's stack by suspending it. While the thread is suspended it may hold any
// lock (the heap's, the loader's, the function-table lock that RtlLookupFunctionEntry takes), so
// only its registers are read and its stack is copied into a buffer prepared beforehand. The
// thread is then resumed, and the copy is unwound with the tables of the modules.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/thread_capture.h"

namespace quillmark::platform {

namespace {

// The deepest part of a stack that is copied; frames above it are not reached.
constexpr std::size_t kStackCopyBytes = 256 * 1024;

std::mutex capture_mutex;  // serialises captures, and guards the two below
std::unique_ptr<std::uint64_t[]> stack_copy;
bool capture_enabled = false;

using QueryThread = NTSTATUS(NTAPI*)(HANDLE, THREADINFOCLASS, PVOID, ULONG, PULONG);

struct ThreadBasics {
  NTSTATUS exit_status;
  PVOID teb_base_address;
  CLIENT_ID client_id;
  ULONG_PTR affinity_mask;
  LONG priority;
  LONG base_priority;
};

// The highest address of the thread's stack, read from its thread environment block.
std::uint64_t stack_base_of(HANDLE thread) {
  static const auto query = reinterpret_cast<QueryThread>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
  if (query == nullptr) return 0;
  ThreadBasics basics{};
  if (query(thread, static_cast<THREADINFOCLASS>(0), &basics, sizeof basics, nullptr) != 0 ||
      basics.teb_base_address == nullptr) {
    return 0;
  }
  return reinterpret_cast<std::uint64_t>(static_cast<NT_TIB*>(basics.teb_base_address)->StackBase);
}

struct FrozenState {
  CONTEXT context;
  std::uint64_t stack_start;  // the thread's stack pointer when it was stopped
  std::size_t copied;         // bytes of stack copied from stack_start
};

// Everything that runs while the thread is suspended: no allocation, no lock, no module lookup.
bool copy_suspended_thread(HANDLE thread, std::uint64_t stack_base, FrozenState& state) {
  state.context.ContextFlags = CONTEXT_FULL;
  if (!GetThreadContext(thread, &state.context)) return false;
  state.stack_start = state.context.Rsp;
  if (state.stack_start >= stack_base) return false;
  state.copied = static_cast<std::size_t>(
      std::min<std::uint64_t>(stack_base - state.stack_start, kStackCopyBytes));
  std::memcpy(stack_copy.get(), reinterpret_cast<const void*>(state.stack_start), state.copied);
  return true;
}

// Values that point into the copied part of the original stack (saved frame pointers, the stack
// pointer itself) are moved to the copy, so the unwind never reads the running thread's stack.
void point_into_copy(FrozenState& state) {
  const std::uint64_t copy_start = reinterpret_cast<std::uint64_t>(stack_copy.get());
  const auto relocate = [&](std::uint64_t& value) {
    if (value >= state.stack_start && value < state.stack_start + state.copied) {
      value = value - state.stack_start + copy_start;
    }
  };
  for (std::size_t i = 0; i < state.copied / sizeof(std::uint64_t); ++i) relocate(stack_copy[i]);
  CONTEXT& c = state.context;
  for (DWORD64* reg : {&c.Rsp, &c.Rbp, &c.Rbx, &c.Rsi, &c.Rdi, &c.R12, &c.R13, &c.R14, &c.R15}) {
    relocate(*reg);
  }
}

void unwind_copy(FrozenState& state, ThreadStack& out) {
  const std::uint64_t copy_start = reinterpret_cast<std::uint64_t>(stack_copy.get());
  const std::uint64_t copy_end = copy_start + state.copied;
  CONTEXT& context = state.context;
  out.count = 0;
  while (out.count < ThreadStack::kMaxFrames && context.Rip != 0) {
    out.frames[out.count++] = context.Rip;
    DWORD64 image_base = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &image_base, nullptr);
    if (function == nullptr) {
      // A leaf function: the return address is on top of the stack.
      if (context.Rsp < copy_start || context.Rsp + 8 > copy_end) break;
      context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
      context.Rsp += 8;
    } else {
      PVOID handler_data = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context.Rip, function, &context,
                       &handler_data, &establisher, nullptr);
    }
    if (context.Rsp < copy_start || context.Rsp >= copy_end) break;
  }
}

}  // namespace

ThreadId current_thread_id() { return GetCurrentThreadId(); }

std::uint64_t function_start(std::uint64_t pc) {
  DWORD64 image_base = 0;
  const PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(pc, &image_base, nullptr);
  return function == nullptr ? pc : image_base + function->BeginAddress;
}

int default_capture_signal(std::string*) { return 0; }

// Nothing is installed; the switch only keeps the two targets alike.
bool enable_thread_capture(int) {
  std::lock_guard<std::mutex> lock(capture_mutex);
  capture_enabled = true;
  return true;
}

void disable_thread_capture() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  capture_enabled = false;
}

// The timeout does not apply: suspending and copying take no part of the thread's cooperation.
CaptureOutcome capture_thread_stack(ThreadId thread_id, std::chrono::milliseconds,
                                    ThreadStack& out) {
  std::lock_guard<std::mutex> lock(capture_mutex);
  if (!capture_enabled) return CaptureOutcome::kNotEnabled;
  if (thread_id == current_thread_id()) return CaptureOutcome::kCannotInterrupt;
  if (!stack_copy) stack_copy.reset(new std::uint64_t[kStackCopyBytes / sizeof(std::uint64_t)]);
  HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION,
                             FALSE, static_cast<DWORD>(thread_id));
  if (thread == nullptr) return CaptureOutcome::kThreadGone;
  DWORD exit_code = 0;
  if (!GetExitCodeThread(thread, &exit_code) || exit_code != STILL_ACTIVE) {
    CloseHandle(thread);
    return CaptureOutcome::kThreadGone;
  }
  const std::uint64_t stack_base = stack_base_of(thread);
  FrozenState state{};
  bool copied = false;
  if (stack_base != 0 && SuspendThread(thread) != static_cast<DWORD>(-1)) {
    copied = copy_suspended_thread(thread, stack_base, state);
    ResumeThread(thread);
  }
  CloseHandle(thread);
  if (!copied) return CaptureOutcome::kCannotInterrupt;
  point_into_copy(state);
  unwind_copy(state, out);
  return CaptureOutcome::kCaptured;
}

}  // namespace quillmark::platform
