// Linux: another thread's stack. A thread that waits in the kernel is walked from outside (see
// blocked_thread.h and stack_walk.h); one that runs is asked through a real-time signal. The
// requester publishes a request
// (target and sequence) in one atomic word, queues the signal to the target with a cookie that
// marks it as a request, and waits on a semaphore. The handler checks that the request is live and
// meant for its thread, unwinds with the libgcc unwinder into a static buffer (no allocation, no
// lock but the loader's recursive one) and posts the semaphore, which is async-signal-safe.
#include <errno.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/posix/blocked_thread.h"
#include "platform/posix/call_frame_rules.h"
#include "platform/posix/stack_walk.h"
#include "platform/thread_capture.h"

namespace quillmark::platform {

namespace {

// The request word: sequence << 2 | phase.
enum Phase : std::uint64_t { kIdle = 0, kRequested = 1, kCapturing = 2, kDone = 3 };
constexpr std::uint64_t kPhaseMask = 3;
// The warning about an unusable QUILLMARK_FREEZE_STACK_SIGNAL, with the value cut at 64 bytes.
constexpr std::size_t kWarningCapacity = 256;

std::atomic<std::uint64_t> request{0};
std::atomic<pid_t> request_target{0};
// Written only by the handler between kCapturing and kDone; read by the requester after kDone.
ThreadStack capture_buffer;
// A walk from outside is tried this many times while the thread keeps waking up under it.
constexpr int kOutsideWalkTries = 3;
constexpr char kCutCallShort[] = "the capture's signal ended a blocking system call early";
sem_t answered;
// Capture requests queued but not yet seen by any handler (a thread that blocks the signal keeps
// them pending).
std::atomic<int> requests_in_flight{0};

// Guards the fields below, and serialises captures.
std::mutex capture_mutex;
bool semaphore_ready = false;
int installed_signal = 0;  // 0: no handler of ours is installed
bool capture_enabled = false;
struct sigaction previous_action;

pid_t kernel_thread_id() { return static_cast<pid_t>(syscall(SYS_gettid)); }

_Unwind_Reason_Code record_frame(_Unwind_Context* context, void* argument) {
  auto* out = static_cast<ThreadStack*>(argument);
  const auto pc = static_cast<std::uint64_t>(_Unwind_GetIP(context));
  if (pc == 0 || out->count == ThreadStack::kMaxFrames) return _URC_END_OF_STACK;
  out->frames[out->count++] = pc;
  return _URC_NO_REASON;
}

// Whether the signal ended a system call that will now return EINTR: the thread stands right after
// a `syscall` instruction with -EINTR as its result. (A call the kernel restarts stands on the
// instruction instead, with the call's number.)
bool interrupted_a_call(const ucontext_t& context) {
  const auto pc = static_cast<std::uint64_t>(context.uc_mcontext.gregs[REG_RIP]);
  const auto* code = reinterpret_cast<const unsigned char*>(pc - 2);
  return context.uc_mcontext.gregs[REG_RAX] == -EINTR && code[0] == 0x0f && code[1] == 0x05;
}

// The frames before the interrupted one are the handler's own and are left out. Where the
// interrupted frame cannot be told (a sanitizer runtime may call the handler from its own frames
// later), every frame is kept; resolution skips this library's frames anyway.
void unwind_interrupted_thread(void* signal_context) {
  const auto* context = static_cast<const ucontext_t*>(signal_context);
  const auto interrupted_pc = static_cast<std::uint64_t>(context->uc_mcontext.gregs[REG_RIP]);
  capture_buffer.count = 0;
  _Unwind_Backtrace(record_frame, &capture_buffer);
  const auto end = capture_buffer.frames + capture_buffer.count;
  const auto interrupted = std::find(capture_buffer.frames, end, interrupted_pc);
  if (interrupted != end) {
    std::copy(interrupted, end, capture_buffer.frames);
    capture_buffer.count = static_cast<std::uint32_t>(end - interrupted);
  }
  capture_buffer.note = interrupted_a_call(*context) ? kCutCallShort : nullptr;
}

bool is_capture_request(const siginfo_t* info) {
  return info != nullptr && info->si_code == SI_QUEUE && info->si_pid == getpid() &&
         info->si_value.sival_ptr == static_cast<void*>(&request);
}

void pass_on(int signal_number, siginfo_t* info, void* context) {
  if (previous_action.sa_flags & SA_SIGINFO) {
    if (previous_action.sa_sigaction != nullptr) {
      previous_action.sa_sigaction(signal_number, info, context);
    }
    return;
  }
  if (previous_action.sa_handler == SIG_IGN) return;
  if (previous_action.sa_handler == SIG_DFL) {
    // What the signal would have done without us: a real-time signal ends the process.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    return;
  }
  previous_action.sa_handler(signal_number);
}

void on_signal(int signal_number, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  if (!is_capture_request(info)) {
    pass_on(signal_number, info, context);
    errno = saved_errno;
    return;
  }
  requests_in_flight.fetch_sub(1);
  std::uint64_t word = request.load();
  // A late signal of a request that was given up finds no live request for its thread.
  if ((word & kPhaseMask) == kRequested && request_target.load() == kernel_thread_id() &&
      request.compare_exchange_strong(word, (word & ~kPhaseMask) | kCapturing)) {
    unwind_interrupted_thread(context);
    request.store((word & ~kPhaseMask) | kDone);
    sem_post(&answered);
  }
  errno = saved_errno;
}

// Waits for the handler's post until `deadline` on the monotonic clock; false on timeout.
bool wait_for_answer(const timespec& deadline) {
  for (;;) {
    if (sem_clockwait(&answered, CLOCK_MONOTONIC, &deadline) == 0) return true;
    if (errno != EINTR) return false;
  }
}

timespec monotonic_after(std::chrono::milliseconds wait) {
  timespec at{};
  clock_gettime(CLOCK_MONOTONIC, &at);
  const auto total_ns = static_cast<std::int64_t>(at.tv_nsec) +
                        std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
  at.tv_sec += static_cast<time_t>(total_ns / 1000000000);
  at.tv_nsec = static_cast<long>(total_ns % 1000000000);
  return at;
}

bool queue_request(pid_t target, int signal_number) {
  siginfo_t info{};
  info.si_signo = signal_number;
  info.si_code = SI_QUEUE;
  info.si_pid = getpid();
  info.si_uid = getuid();
  info.si_value.sival_ptr = static_cast<void*>(&request);
  requests_in_flight.fetch_add(1);
  if (syscall(SYS_rt_tgsigqueueinfo, getpid(), target, signal_number, &info) == 0) return true;
  requests_in_flight.fetch_sub(1);
  return false;
}

// After a timeout: withdraw the request, unless its handler already runs; then give it one more
// bound to finish.
bool give_up_or_collect(std::uint64_t sequence_word, std::chrono::milliseconds timeout) {
  std::uint64_t expected = sequence_word | kRequested;
  if (request.compare_exchange_strong(expected, sequence_word | kIdle)) return false;
  return wait_for_answer(monotonic_after(timeout)) &&
         request.load(std::memory_order_acquire) == (sequence_word | kDone);
}

}  // namespace

ThreadId current_thread_id() {
  thread_local const pid_t id = kernel_thread_id();
  return static_cast<ThreadId>(id);
}

int default_capture_signal(std::string* warning) {
  const int fallback = SIGRTMAX - 3;
  const char* chosen = std::getenv("QUILLMARK_FREEZE_STACK_SIGNAL");
  if (chosen == nullptr) return fallback;
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(chosen, &end, 10);
  if (*chosen != '\0' && *end == '\0' && errno == 0 && number >= SIGRTMIN && number <= SIGRTMAX) {
    return static_cast<int>(number);
  }
  if (warning != nullptr) {
    char line[kWarningCapacity];
    std::snprintf(line, sizeof line,
                  "WARNING: Quillmark: QUILLMARK_FREEZE_STACK_SIGNAL=\"%.64s\" is not a real-time "
                  "signal number (%d to %d); freeze stacks use signal %d.\n",
                  chosen, SIGRTMIN, SIGRTMAX, fallback);
    *warning = line;
  }
  return fallback;
}

bool enable_thread_capture(int signal_number) {
  if (signal_number < SIGRTMIN || signal_number > SIGRTMAX) return false;
  std::lock_guard<std::mutex> lock(capture_mutex);
  if (!semaphore_ready) {
    if (sem_init(&answered, 0, 0) != 0) return false;
    semaphore_ready = true;
  }
  if (installed_signal == signal_number) {
    capture_enabled = true;
    return true;
  }
  struct sigaction action {};
  action.sa_sigaction = &on_signal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  struct sigaction replaced {};
  if (sigaction(signal_number, &action, &replaced) != 0) return false;
  if (installed_signal != 0) sigaction(installed_signal, &previous_action, nullptr);
  previous_action = replaced;
  installed_signal = signal_number;
  capture_enabled = true;
  return true;
}

void disable_thread_capture() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  capture_enabled = false;
  if (installed_signal == 0 || requests_in_flight.load() != 0) return;
  sigaction(installed_signal, &previous_action, nullptr);
  installed_signal = 0;
}

std::uint64_t function_start(std::uint64_t pc) {
  posix::FrameRules rules;
  return posix::find_frame_rules(pc, rules) ? rules.function_start : pc;
}

namespace {

// The thread waited in the kernel before and after the walk, at the same place: the stack did not
// change under the walk.
bool walk_waiting_thread(pid_t thread, ThreadStack& out) {
  for (int attempt = 0; attempt < kOutsideWalkTries; ++attempt) {
    posix::BlockedRegisters before;
    if (posix::read_thread_state(thread, before) != posix::ThreadState::kBlocked) return false;
    const char* note = posix::walk_stack(before.sp, before.pc, out);
    posix::BlockedRegisters after;
    if (posix::read_thread_state(thread, after) == posix::ThreadState::kBlocked &&
        after.sp == before.sp && after.pc == before.pc) {
      out.note = note;
      return true;
    }
  }
  return false;
}

}  // namespace

CaptureOutcome capture_thread_stack(ThreadId thread, std::chrono::milliseconds timeout,
                                    ThreadStack& out) {
  std::lock_guard<std::mutex> lock(capture_mutex);
  if (!capture_enabled) return CaptureOutcome::kNotEnabled;
  if (thread == current_thread_id()) return CaptureOutcome::kCannotInterrupt;
  if (walk_waiting_thread(static_cast<pid_t>(thread), out)) return CaptureOutcome::kCaptured;
  if ((request.load() & kPhaseMask) == kCapturing) return CaptureOutcome::kBusy;
  while (sem_trywait(&answered) == 0) {
  }
  const std::uint64_t sequence_word = ((request.load() >> 2) + 1) << 2;
  request_target.store(static_cast<pid_t>(thread));
  request.store(sequence_word | kRequested);
  if (!queue_request(static_cast<pid_t>(thread), installed_signal)) {
    const int error = errno;
    request.store(sequence_word | kIdle);
    return error == ESRCH ? CaptureOutcome::kThreadGone : CaptureOutcome::kCannotInterrupt;
  }
  // The handler publishes the buffer with its store of kDone; this load is what makes the
  // buffer's contents visible here, whatever the semaphore does.
  const bool answered_in_time = wait_for_answer(monotonic_after(timeout)) &&
                                request.load(std::memory_order_acquire) == (sequence_word | kDone);
  if (!answered_in_time && !give_up_or_collect(sequence_word, timeout)) {
    return (request.load() & kPhaseMask) == kCapturing ? CaptureOutcome::kBusy
                                                       : CaptureOutcome::kNoAnswer;
  }
  out.count = capture_buffer.count;
  out.note = capture_buffer.note;
  std::copy_n(capture_buffer.frames, out.count, out.frames);
  request.store(sequence_word | kIdle);
  return CaptureOutcome::kCaptured;
}

}  // namespace quillmark::platform
