// Walking a stack of this process from the outside: from a thread's stack pointer and program
// counter alone, as the kernel shows them for a thread blocked in a system call, without running
// anything on that thread. Every read goes through process_vm_readv, so a wrong guess or a thread
// that wakes meanwhile gives wrong frames at worst, never a fault.
//
// The unwind tables say how to find each caller; where a frame's rule needs a register that is not
// known from the outside (the frame pointer of code built with one, which the kernel does not
// show), the walk looks for the saved frame pointer on the stack: the slot above which lies a
// return address right after a call of that very function.
#pragma once

#include <cstdint>

#include "platform/thread_capture.h"

namespace quillmark::platform::posix {

// Fills `out` with program counters, innermost (`pc`) first, the others return addresses. Returns
// null when the walk reached the outermost frame (or `out` is full), else why it stopped: a
// static text.
const char* walk_stack(std::uint64_t sp, std::uint64_t pc, ThreadStack& out);

}  // namespace quillmark::platform::posix
