// The first description of a stack in a process, with few and with many modules loaded: it must
// not grow with the number of modules. Each repetition runs in a fresh process (this program
// started again with --first-resolution-child), so every measured resolution really is the
// process's first, in memory of its own: a forked child would also pay for copying every page it
// writes that it shares with its parent.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/callstack/nested_calls.h"
#include "callstack/call_stack.h"
#include "callstack/cstack_info.h"
#include "callstack/describe_stack.h"
#include "callstack/symbol_handler.h"
#include "platform/posix/loaded_objects.h"

namespace {

// Nesting that gives the 12 recorded frames of a registration, 10 of them shown.
constexpr int kNesting = 16;
constexpr int kBaselineExtraModules = 0;
constexpr int kManyExtraModules = FIRST_RESOLUTION_MODULE_COUNT;

using quillmark::bench::nested;
using quillmark::bench::registry_add;

// The first argument of the program started again for one measurement: then the number of
// extra modules to load and the pipe to write the result to.
constexpr char kChildFlag[] = "--first-resolution-child";

void load_extra_modules(int count) {
  for (int i = 0; i < count; ++i) {
    char path[4096];
    std::snprintf(path, sizeof path, "%s/libqm_first_resolution_%03d.so",
                  FIRST_RESOLUTION_MODULE_DIR, i);
    if (dlopen(path, RTLD_NOW | RTLD_LOCAL) == nullptr) _exit(2);
  }
}

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct ChildResult {
  double seconds = 0;      // wall-clock time
  double cpu_seconds = 0;  // the thread's processor time, which a busy machine does not inflate
  std::size_t modules = 0;
};

// In the child: load the modules, record a stack, and time its description.
[[noreturn]] void measure_in_child(int extra_modules, int result_pipe) {
  load_extra_modules(extra_modules);
  int resource = 0;
  auto info = std::make_shared<resmonitor::CStackInfo>();
  resmonitor::init_symbol_handler(*info);
  nested(kNesting, [&] { registry_add(*info, &resource); });
  const double cpu_start = thread_cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  const std::string text = resmonitor::describe_stack(*info, &resource);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  ChildResult result{took.count(), thread_cpu_seconds() - cpu_start,
                     quillmark::platform::posix::loaded_objects().size()};
  if (text.find("nested") == std::string::npos) result.seconds = -1;
  const bool written = write(result_pipe, &result, sizeof result) == sizeof result;
  _exit(written ? 0 : 3);
}

bool first_resolution_in_child(int extra_modules, ChildResult& result) {
  int ends[2];
  if (pipe(ends) != 0) return false;
  const pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    const std::string modules = std::to_string(extra_modules);
    const std::string pipe_end = std::to_string(ends[1]);
    execl("/proc/self/exe", "callstack_first_resolution_bench", kChildFlag, modules.c_str(),
          pipe_end.c_str(), static_cast<char*>(nullptr));
    _exit(4);
  }
  close(ends[1]);
  const bool read_all = child > 0 && read(ends[0], &result, sizeof result) == sizeof result;
  close(ends[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  return read_all && WIFEXITED(status) && WEXITSTATUS(status) == 0 && result.seconds >= 0;
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// Median wall-clock and processor time of a first resolution, by the number of modules loaded.
// Medians, because a child process now and then waits for the processor on a busy machine.
std::map<std::size_t, std::pair<double, double>> median_by_modules;

void BM_FirstResolutionFreshProcess(benchmark::State& state) {
  std::vector<double> wall;
  std::vector<double> cpu;
  ChildResult result;
  for (auto _ : state) {
    if (!first_resolution_in_child(static_cast<int>(state.range(0)), result)) {
      state.SkipWithError("the child process failed");
      return;
    }
    state.SetIterationTime(result.seconds);
    wall.push_back(result.seconds);
    cpu.push_back(result.cpu_seconds);
  }
  const std::pair<double, double> medians{median(wall), median(cpu)};
  state.counters["modules"] = static_cast<double>(result.modules);
  state.counters["median_ms"] = medians.first * 1e3;
  state.counters["median_cpu_ms"] = medians.second * 1e3;
  median_by_modules[result.modules] = medians;
}
BENCHMARK(BM_FirstResolutionFreshProcess)
    ->Arg(kBaselineExtraModules)
    ->Arg(kManyExtraModules)
    ->Iterations(30)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == kChildFlag) {
    measure_in_child(std::atoi(argv[2]), std::atoi(argv[3]));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (median_by_modules.size() == 2) {
    const auto few = median_by_modules.begin();
    const auto many = std::prev(median_by_modules.end());
    std::printf(
        "first resolution, %zu vs %zu modules: median %.3f ms vs %.3f ms, ratio %.2f; "
        "processor time %.3f ms vs %.3f ms, ratio %.2f\n",
        many->first, few->first, many->second.first * 1e3, few->second.first * 1e3,
        many->second.first / few->second.first, many->second.second * 1e3, few->second.second * 1e3,
        many->second.second / few->second.second);
  }
  return 0;
}
