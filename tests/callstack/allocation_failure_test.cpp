// Allocation failures during symbol work, for real: this program replaces malloc and its kin, and
// makes the n-th allocation of one resolution fail, for every n the resolution makes. Each n runs
// in a child process, so that each resolution is the process's first. libdw's own allocations are
// left alone: its allocator ends the process when it runs out, by design.
#include <quillmark/resource_monitor.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
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
std::uintptr_t g_libdw_start = 0;
std::uintptr_t g_libdw_end = 0;

bool fail_this_one(const void* caller) {
  if (g_countdown <= 0) return false;
  const auto from = reinterpret_cast<std::uintptr_t>(caller);
  if (from >= g_libdw_start && from < g_libdw_end) return false;
  if (--g_countdown != 0) return false;
  g_failed = true;
  errno = ENOMEM;
  return true;
}

int note_libdw(dl_phdr_info* info, std::size_t, void*) {
  if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "/libdw.so") == nullptr) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
    g_libdw_start = info->dlpi_addr + segment.p_vaddr;
    g_libdw_end = g_libdw_start + segment.p_memsz;
  }
  return 1;
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
  return fail_this_one(__builtin_return_address(0)) ? nullptr : __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  return fail_this_one(__builtin_return_address(0)) ? nullptr : __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  return fail_this_one(__builtin_return_address(0)) ? nullptr : __libc_realloc(block, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
  return fail_this_one(__builtin_return_address(0)) ? nullptr : __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  return fail_this_one(__builtin_return_address(0)) ? nullptr : __libc_memalign(alignment, size);
}
int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  if (fail_this_one(__builtin_return_address(0))) return ENOMEM;
  *block = __libc_memalign(alignment, size);
  return *block != nullptr ? 0 : ENOMEM;
}
void free(void* block) { __libc_free(block); }
}

namespace {

constexpr int kSecondStackWhole = 0;
constexpr int kSecondStackPoorer = 1;
constexpr int kNothingFailed = 2;

__attribute__((noinline)) void register_first(void* object) {
  resmonitor::AddResource("Texture", object);
  asm volatile("");
}
__attribute__((noinline)) void register_second(void* object) {
  resmonitor::AddResource("Texture", object);
  asm volatile("");
}

// The first resolution meets the failure; the one after it must be as good as ever.
int resolve_with_failure_at(long allocation) {
  dl_iterate_phdr(&note_libdw, nullptr);
  resmonitor::CreateResMonitor(static_cast<resmonitor::MonitorInfoLevel>(1));
  static int first = 0;
  static int second = 0;
  register_first(&first);
  register_second(&second);
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
      next.callStack.find("allocation_failure_test.cpp (") != std::string::npos;
  return whole ? kSecondStackWhole : kSecondStackPoorer;
}

TEST(AllocationFailure, GivesAPoorerStackAtWorstAndIsForgottenAfterwards) {
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
  EXPECT_GT(allocation, 50);  // the first resolution allocates; every one of them was tried
}

}  // namespace
