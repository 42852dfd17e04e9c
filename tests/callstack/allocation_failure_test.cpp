// Allocation failures during symbol work, for real: this program replaces malloc and its kin, and
// makes the n-th allocation of one resolution fail, for every n the resolution makes. Each n runs
// in a child process, so that each resolution is the process's first. Allocations inside libdw and
// libelf fail too: the DWARF of these frames is read by the library's own resolver, and libdw only
// finds the files and reads the symbol tables, which report a failure instead of ending the
// process as libdw's DWARF allocator does. Where dwz is installed, the stacks pass through a
// library whose DWARF leans on a supplementary file, which is read the same way.
#include <quillmark/resource_monitor.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

// Armed on the resolving thread only: the allocation the countdown reaches fails.
thread_local long g_countdown = 0;
thread_local bool g_failed = false;

bool fail_this_one() {
  if (g_countdown <= 0) return false;
  if (--g_countdown != 0) return false;
  g_failed = true;
  errno = ENOMEM;
  return true;
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) { return fail_this_one() ? nullptr : __libc_malloc(size); }
void* calloc(std::size_t count, std::size_t size) {
  return fail_this_one() ? nullptr : __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  return fail_this_one() ? nullptr : __libc_realloc(block, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
  return fail_this_one() ? nullptr : __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  return fail_this_one() ? nullptr : __libc_memalign(alignment, size);
}
int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  if (fail_this_one()) return ENOMEM;
  *block = __libc_memalign(alignment, size);
  return *block != nullptr ? 0 : ENOMEM;
}
void free(void* block) { __libc_free(block); }
}

namespace {

constexpr int kStacksWhole = 0;
constexpr int kSecondStackPoorer = 1;
constexpr int kNothingFailed = 2;
constexpr int kFailedStackStillPoorer = 3;

// The text of the first stack where nothing fails, made in a child like the others (and so with
// the same addresses) before they run.
std::string g_first_stack_whole;

int first = 0;
int second = 0;

__attribute__((noinline)) void register_first() {
  resmonitor::AddResource("Texture", &first);
  asm volatile("");
}
__attribute__((noinline)) void register_second() {
  resmonitor::AddResource("Texture", &second);
  asm volatile("");
}

// Host functions of the dwz'd library that call back, each through inlined code whose names only
// the supplementary file gives: the first stack passes through one, the second through the other,
// so that the second one's frames there are new to the symbol handler.
using Through = int (*)(void (*)(), int&);
Through first_through = nullptr;
Through second_through = nullptr;
#ifdef DWZ_LIBRARY
constexpr const char* kSecondThroughFrame = "libfirst.so!operator()<int>()";

void load_library() {
  void* library = dlopen(DWZ_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return;
  first_through =
      reinterpret_cast<Through>(dlsym(library, "_ZN11frame_lines20run_through_functionEPFvvERi"));
  second_through =
      reinterpret_cast<Through>(dlsym(library, "_ZN11frame_lines18run_generic_lambdaEPFvvERi"));
}
#else
constexpr const char* kSecondThroughFrame = "";
void load_library() {}
#endif

void call(Through through, void (*callback)()) {
  int line = 0;
  if (through != nullptr) {
    through(callback, line);
  } else {
    callback();
  }
}

// The frames of a stack text up to the one of resolve_with_failure_at(): those that follow it
// differ between the child that made the reference text and the others.
std::string inner_frames(const std::string& text) {
  const std::size_t frame = text.find("resolve_with_failure_at()");
  return frame == std::string::npos ? text : text.substr(0, text.find('\n', frame));
}

// The first resolution meets the failure; the one after it must be as good as ever, and so must
// the stack that met it when it is asked for again. With `allocation` 0 nothing fails, and the
// first stack's text goes to `text_out`.
int resolve_with_failure_at(long allocation, int text_out = -1) {
  resmonitor::CreateResMonitor(static_cast<resmonitor::MonitorInfoLevel>(1));
  call(first_through, register_first);
  call(second_through, register_second);
  resmonitor::ResMonitorInfo info;
  g_countdown = allocation;
  try {
    resmonitor::GetObjResource("Texture", &first, info);
  } catch (const std::bad_alloc&) {
  }
  g_countdown = 0;
  if (text_out >= 0) {
    const std::string& text = info.callStack;
    return write(text_out, text.data(), text.size()) == static_cast<ssize_t>(text.size())
               ? kNothingFailed
               : kSecondStackPoorer;
  }
  if (!g_failed) return kNothingFailed;
  resmonitor::ResMonitorInfo next;
  resmonitor::GetObjResource("Texture", &second, next);
  const bool whole =
      next.callStack.find("!(anonymous namespace)::register_second()") != std::string::npos &&
      next.callStack.find("allocation_failure_test.cpp (") != std::string::npos &&
      next.callStack.find(kSecondThroughFrame) != std::string::npos;
  if (!whole) return kSecondStackPoorer;
  resmonitor::ResMonitorInfo again;
  resmonitor::GetObjResource("Texture", &first, again);
  return inner_frames(again.callStack) == inner_frames(g_first_stack_whole)
             ? kStacksWhole
             : kFailedStackStillPoorer;
}

std::string first_stack_when_nothing_fails() {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return std::string();
  const pid_t child = fork();
  if (child == 0) _exit(resolve_with_failure_at(0, pipe_ends[1]));
  close(pipe_ends[1]);
  std::string text;
  char chunk[4096];
  for (ssize_t got; (got = read(pipe_ends[0], chunk, sizeof chunk)) > 0;) text.append(chunk, got);
  close(pipe_ends[0]);
  waitpid(child, nullptr, 0);
  return text;
}

TEST(AllocationFailure, GivesAPoorerStackAtWorstAndIsForgottenAfterwards) {
  load_library();
  ASSERT_TRUE(kSecondThroughFrame[0] == '\0' ||
              (first_through != nullptr && second_through != nullptr))
      << dlerror();
  g_first_stack_whole = first_stack_when_nothing_fails();
  ASSERT_NE(g_first_stack_whole.find("resolve_with_failure_at()"), std::string::npos)
      << g_first_stack_whole;
  long allocation = 1;
  for (;; ++allocation) {
    const pid_t child = fork();
    if (child == 0) _exit(resolve_with_failure_at(allocation));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "allocation " << allocation << " ended the process";
    if (WEXITSTATUS(status) == kNothingFailed) break;
    EXPECT_EQ(WEXITSTATUS(status), kStacksWhole)
        << "after allocation " << allocation << " failed, "
        << (WEXITSTATUS(status) == kSecondStackPoorer ? "the next stack was poorer too"
                                                      : "the stack that met it stayed poorer");
  }
  // The first resolution allocates; every one of them was tried.
  EXPECT_GT(allocation, 50);
  std::printf("%ld allocation failures injected\n", allocation - 1);
}

}  // namespace
