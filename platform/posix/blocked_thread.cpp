#include "platform/posix/blocked_thread.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillmark::platform::posix {

namespace {

// "running", or "<nr> <six arguments> <sp> <pc>" in a system call, or "-1 <sp> <pc>" when blocked
// outside one: the last two numbers are what we need either way.
bool parse_registers(char* text, BlockedRegisters& registers) {
  char* numbers[9];
  int count = 0;
  char* rest = nullptr;
  for (char* field = strtok_r(text, " \n", &rest); field != nullptr && count < 9;
       field = strtok_r(nullptr, " \n", &rest)) {
    numbers[count++] = field;
  }
  if (count != 3 && count != 9) return false;
  registers.sp = std::strtoull(numbers[count - 2], nullptr, 16);
  registers.pc = std::strtoull(numbers[count - 1], nullptr, 16);
  return registers.sp != 0 && registers.pc != 0;
}

}  // namespace

ThreadState read_thread_state(pid_t thread, BlockedRegisters& registers) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(thread));
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return errno == ENOENT ? ThreadState::kGone : ThreadState::kUnreadable;
  char text[256];
  ssize_t length = 0;
  do {
    length = read(file, text, sizeof text - 1);
  } while (length < 0 && errno == EINTR);
  close(file);
  if (length <= 0) return ThreadState::kUnreadable;
  text[length] = '\0';
  if (std::strncmp(text, "running", 7) == 0) return ThreadState::kRunning;
  return parse_registers(text, registers) ? ThreadState::kBlocked : ThreadState::kUnreadable;
}

}  // namespace quillmark::platform::posix
