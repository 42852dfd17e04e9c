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

constexpr int kSecondStackWhole = 0;
constexpr int kSecondStackPoorer = 1;
constexpr int kNothingFailed = 2;

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

// The first resolution meets the failure; the one after it must be as good as ever.
int resolve_with_failure_at(long allocation) {
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
  if (!g_failed) return kNothingFailed;
  resmonitor::ResMonitorInfo next;
  resmonitor::GetObjResource("Texture", &second, next);
  const bool whole =
      next.callStack.find("!(anonymous namespace)::register_second()") != std::string::npos &&
      next.callStack.find("allocation_failure_test.cpp (") != std::string::npos &&
      next.callStack.find(kSecondThroughFrame) != std::string::npos;
  return whole ? kSecondStackWhole : kSecondStackPoorer;
}

TEST(AllocationFailure, GivesAPoorerStackAtWorstAndIsForgottenAfterwards) {
  load_library();
  ASSERT_TRUE(kSecondThroughFrame[0] == '\0' ||
              (first_through != nullptr && second_through != nullptr))
      << dlerror();
  long allocation = 1;
  for (;; ++allocation) {
    const pid_t child = fork();
    if (child == 0) _exit(resolve_with_failure_at(allocation));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "allocation " << allocation << " ended the process";
    if (WEXITSTATUS(status) == kNothingFailed) break;
    EXPECT_EQ(WEXITSTATUS(status), kSecondStackWhole)
        << "after allocation " << allocation << " failed, the next stack was poorer too";
  }
  // The first resolution allocates; every one of them was tried.
  EXPECT_GT(allocation, 50);
  std::printf("%ld allocation failures injected\n", allocation - 1);
}

}  // namespace
