// A figure against its baseline measured in the same run: both run in alternating rounds inside
// every benchmark iteration, so a machine busy with other work slows both alike.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>

namespace quillmark::bench {

template <typename Work>
double seconds_for(std::size_t calls, const Work& work) {
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < calls; ++i) work(i);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reports per-call nanoseconds of both and "ratio" = candidate / baseline.
inline void report_ratio(benchmark::State& state, double baseline_seconds, double candidate_seconds,
                         double calls) {
  state.counters["baseline_ns"] = baseline_seconds * 1e9 / calls;
  state.counters["candidate_ns"] = candidate_seconds * 1e9 / calls;
  state.counters["ratio"] = candidate_seconds / baseline_seconds;
}

// Each iteration runs `batch` calls of the baseline, then `batch` of the candidate; both get the
// call index.
template <typename Baseline, typename Candidate>
void measure_ratio(benchmark::State& state, std::size_t batch, const Baseline& baseline,
                   const Candidate& candidate) {
  double baseline_seconds = 0;
  double candidate_seconds = 0;
  double calls = 0;
  for (auto _ : state) {
    baseline_seconds += seconds_for(batch, baseline);
    candidate_seconds += seconds_for(batch, candidate);
    calls += static_cast<double>(batch);
  }
  report_ratio(state, baseline_seconds, candidate_seconds, calls);
}

}  // namespace quillmark::bench
