// A host that plugs the library in and out: every load, use with resolved stacks and unload must
// end where it started, with no descriptor or memory of the symbol handler left behind. Runs in a
// child process, which a hang fails by the time limit.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <quillmark/resource_monitor.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr int kCycles = 30;
constexpr int kWarmUpCycles = 5;
// What the process may still grow by after the warm-up cycles: the allocator's and loader's own
// reuse, far below one cycle's worth of symbol data.
constexpr long kMemoryGrowthLimitKb = 4 * 1024;

int open_descriptors() {
  DIR* folder = opendir("/proc/self/fd");
  int count = 0;
  while (dirent* entry = readdir(folder)) count += entry->d_name[0] != '.';
  closedir(folder);
  return count - 1;  // the listing's own descriptor
}

long resident_kb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

template <typename Function>
Function* exported(void* library, const char* decorated_name) {
  void* symbol = dlsym(library, decorated_name);
  if (symbol == nullptr) {
    std::fprintf(stderr, "missing %s\n", decorated_name);
    std::exit(2);
  }
  return reinterpret_cast<Function*>(symbol);
}

// Loads the library, registers with stacks, resolves them through a query, and unloads it.
void load_use_unload() {
  void* library = dlopen(QUILLMARK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) std::exit(3);
  const auto create = exported<int(resmonitor::MonitorInfoLevel)>(
      library, "_ZN10resmonitor16CreateResMonitorENS_16MonitorInfoLevelE");
  const auto destroy = exported<int()>(library, "_ZN10resmonitor17DestroyResMonitorEv");
  const auto add = exported<int(const char*, void*)>(library, "_ZN10resmonitor11AddResourceEPKcPv");
  const auto get = exported<int(const char*, void*, resmonitor::ResMonitorInfo&)>(
      library, "_ZN10resmonitor14GetObjResourceEPKcPvRNS_14ResMonitorInfoE");
  static int objects[2];
  create(resmonitor::MonitorInfoStack);
  for (int& object : objects) add("Cycled", &object);
  for (int& object : objects) {
    resmonitor::ResMonitorInfo info;
    if (get("Cycled", &object, info) != 0 ||
        info.callStack.find("load_use_unload") == std::string::npos) {
      std::fprintf(stderr, "unresolved stack: %s\n", info.callStack.c_str());
      std::exit(4);
    }
  }
  destroy();
  dlclose(library);
  if (dlopen(QUILLMARK_LIBRARY, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
    std::fprintf(stderr, "the library stayed loaded\n");
    std::exit(5);
  }
}

void cycle_and_count() {
  // Counted after the first cycle: the private unwinder the first capture opens stays loaded for
  // the process (with the descriptors it keeps), whatever happens to quillmark.
  int descriptors_before = 0;
  long resident_after_warm_up = 0;
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    load_use_unload();
    if (cycle == 1) descriptors_before = open_descriptors();
    if (cycle == kWarmUpCycles) resident_after_warm_up = resident_kb();
  }
  const long growth_kb = resident_kb() - resident_after_warm_up;
  const int descriptors_after = open_descriptors();
  std::fprintf(stderr, "descriptors: %s (%d -> %d)\n",
               descriptors_after == descriptors_before ? "unchanged" : "changed",
               descriptors_before, descriptors_after);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  (void)growth_kb;  // the sanitizers keep freed memory aside; the leak checker covers it
  std::fprintf(stderr, "memory: bounded\n");
#else
  std::fprintf(stderr, "memory: %s (%ld kB)\n",
               growth_kb <= kMemoryGrowthLimitKb ? "bounded" : "growing", growth_kb);
#endif
  std::exit(0);
}

TEST(UnloadCycles, LeaveNoDescriptorsAndBoundedMemory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(cycle_and_count(), ::testing::ExitedWithCode(0),
              "descriptors: unchanged .*\nmemory: bounded");
}

}  // namespace
