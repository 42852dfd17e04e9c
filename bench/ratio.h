// A figure against its baseline measured in the same run: both run in alternating rounds inside
// every benchmark iteration, so a machine busy with other work slows both alike.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <numeric>
#include <vector>

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

inline double median_of(std::vector<double> samples) {
  if (samples.empty()) return 0;
  const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
  std::nth_element(samples.begin(), middle, samples.end());
  return *middle;
}

// Each iteration runs `batch` calls of the baseline, then `batch` of the candidate; both get the
// call index. Besides the totals' "ratio", "median_ratio" compares the median rounds: a virtual
// machine's neighbours slow single rounds of either side by half or more, which the totals keep.
template <typename Baseline, typename Candidate>
void measure_ratio(benchmark::State& state, std::size_t batch, const Baseline& baseline,
                   const Candidate& candidate) {
  std::vector<double> baseline_rounds;
  std::vector<double> candidate_rounds;
  for (auto _ : state) {
    baseline_rounds.push_back(seconds_for(batch, baseline));
    candidate_rounds.push_back(seconds_for(batch, candidate));
  }
  const auto total = [](const std::vector<double>& rounds) {
    return std::accumulate(rounds.begin(), rounds.end(), 0.0);
  };
  report_ratio(state, total(baseline_rounds), total(candidate_rounds),
               static_cast<double>(batch * baseline_rounds.size()));
  state.counters["median_ratio"] = median_of(candidate_rounds) / median_of(baseline_rounds);
}

}  // namespace quillmark::bench
