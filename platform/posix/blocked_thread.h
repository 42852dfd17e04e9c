// What the kernel shows of a thread of this process without stopping it: whether it runs, and
// where a thread that waits inside a system call left its stack pointer and program counter
// (/proc/self/task/<tid>/syscall). A blocked thread's stack does not change while it waits, so it
// can be walked from there without a signal.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace quillmark::platform::posix {

enum class ThreadState {
  kRunning,     // on a processor or ready to run: only the thread itself knows its registers
  kBlocked,     // waiting in the kernel (a system call, a stop): `sp` and `pc` are filled in
  kGone,        // no such thread
  kUnreadable,  // the system does not say (no /proc, or a kernel without the file)
};

struct BlockedRegisters {
  std::uint64_t sp = 0;
  std::uint64_t pc = 0;
};

ThreadState read_thread_state(pid_t thread, BlockedRegisters& registers);

}  // namespace quillmark::platform::posix
