// Taking the call stack of another thread of the process while it runs (or hangs), for freeze
// reports. One implementation per platform lives in win32/ or posix/; the build picks one.
//
// Linux leaves a thread that waits in the kernel (a blocking system call: sleep, poll, a lock or
// condition wait, a read) alone: the kernel shows where its stack is, and the stack is walked
// from outside while the thread waits. Only a thread that runs user code is interrupted, with a
// real-time signal whose handler unwinds the thread's own stack into a buffer prepared
// beforehand, with nothing in the handler that allocates or waits for a lock; the caller waits for
// the handler's answer for a bounded time. A thread that enters a blocking call in the few
// microseconds between that check and the signal's arrival sees the call end early with EINTR,
// as any signal would make it: nanosleep, clock_nanosleep (sleep, usleep), poll, ppoll, select,
// pselect, epoll_wait, epoll_pwait, sigtimedwait, sem_timedwait, and socket reads and writes with
// a time-out (SO_RCVTIMEO, SO_SNDTIMEO). Calls that the kernel restarts (SA_RESTART) go on
// unnoticed. The capture says when it cut a call short (ThreadStack::note). Windows suspends the
// thread, reads its registers and copies its stack while nothing else is called, resumes it, and
// only then unwinds the copy.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quillmark::platform {

// A thread of the process: the kernel thread id on Linux, the thread id on Windows.
using ThreadId = std::uint64_t;

// The calling thread's id. Cheap after a thread's first call.
ThreadId current_thread_id();

// What a capture gives: program counters, innermost first. Frame 0 is where the thread was
// interrupted; the others are return addresses.
struct ThreadStack {
  static constexpr std::uint32_t kMaxFrames = 64;
  std::uint64_t frames[kMaxFrames];
  std::uint32_t count = 0;
  // Null, or a static text for the reader of the stack: why a stack walked from outside the thread
  // ends before its outermost frame, or that the capture's signal ended a blocking call early.
  const char* note = nullptr;
};

enum class CaptureOutcome {
  kCaptured,
  kNotEnabled,       // enable_thread_capture was not called, or failed
  kThreadGone,       // no such thread (it ended)
  kNoAnswer,         // the thread did not answer in time (it blocks the signal, or is stopped)
  kBusy,             // an earlier capture that timed out is still running in its thread
  kCannotInterrupt,  // the system refused to signal or suspend the thread
};

// The reason text of a capture that failed, as freeze reports show it ("" for kCaptured).
const char* capture_outcome_text(CaptureOutcome outcome);

// The signal Linux captures use when none is chosen: SIGRTMAX - 3 (the highest real-time signals
// are the ones hosts and tools pick least), unless the environment variable
// QUILLMARK_FREEZE_STACK_SIGNAL holds another real-time signal number, in decimal, from SIGRTMIN
// to SIGRTMAX. A value that is set but is no such number (the empty value included) is passed
// over for the default, and `warning`, when given, receives one line that says so; it is left
// empty otherwise. 0 on Windows, where the variable means nothing.
int default_capture_signal(std::string* warning = nullptr);

// Prepares captures. Linux: installs the handler for `signal_number` (a real-time signal), keeping
// the handler that was there to pass it every signal that is not a capture request. Returns false
// when the signal cannot be used (then nothing changed). Calling it again with another signal
// moves the handler. Windows: nothing to prepare.
bool enable_thread_capture(int signal_number);
// Puts the previous handler back. Linux keeps its handler installed (passing everything on) while
// a request that timed out may still be pending in a thread that blocks the signal: a late signal
// must not reach a handler that does not expect it.
void disable_thread_capture();

// The start of the function that holds `pc`, from the unwind tables of the loaded modules; `pc`
// itself where none covers it (Windows has no entry for a leaf function that does not touch the
// stack). Samples of a thread taken at different places in one function
// share it.
std::uint64_t function_start(std::uint64_t pc);

// Captures `thread`'s stack into `out`, waiting at most `timeout` for the thread. Captures are
// serialised. A thread cannot capture itself (kCannotInterrupt).
CaptureOutcome capture_thread_stack(ThreadId thread, std::chrono::milliseconds timeout,
                                    ThreadStack& out);

}  // namespace quillmark::platform
