// Sampled stacks of frozen tasks: from the freeze on, the watchdog takes the frozen thread's
// stack every interval, and when the task ends (or the bound is reached) logs the distinct
// places it was found, most frequent first. Captures only while sampling; the stacks are
// resolved once, for the record.
#include <core/log.h>

#include <algorithm>
#include <new>
#include <string>

#include "callstack/thread_stack_text.h"
#include "freezemonitor/freeze_monitor_impl.h"

namespace freezemonitor {

namespace {

constexpr std::int64_t kTicksPerMs = 10000;
constexpr int kSamplesLevel = 6;
constexpr std::chrono::milliseconds kCaptureWait{50};
constexpr std::uint32_t kShownFrames = 10;
constexpr std::uint32_t kShortestInterval = 10;
constexpr std::uint32_t kLongestInterval = 60000;
constexpr std::uint32_t kMostSamples = 1000;

std::string describe(const quillmark::platform::ThreadStack& stack) {
  return resmonitor::describe_thread_stack(stack.frames, stack.count, kShownFrames);
}

std::string samples_head(const SampledTask& task, std::int64_t duration_ms, bool ended,
                         std::uint32_t interval_ms) {
  char head[512];
  std::snprintf(head, sizeof head,
                "stack samples of frozen thread %llu, every %u ms, %s %lld ms: %u samples, %zu "
                "distinct. event type is %s, url: %s, use_gpu: %d.",
                static_cast<unsigned long long>(task.thread), interval_ms,
                ended ? "task ended after" : "task still running after",
                static_cast<long long>(duration_ms), task.samples.count(), task.samples.distinct(),
                event_type_name(task.event.event_type), report_url(task.event),
                task.event.use_gpu ? 1 : 0);
  return head;
}

}  // namespace

bool FreezeMonitorImpl::set_sampling(std::uint32_t interval_ms, std::uint32_t most_samples) {
  if (interval_ms < kShortestInterval || interval_ms > kLongestInterval || most_samples == 0 ||
      most_samples > kMostSamples) {
    return false;
  }
  sample_interval_ms.store(interval_ms);
  max_samples.store(most_samples);
  return true;
}

void FreezeMonitorImpl::start_sampling(PassReport& report) {
  try {
    sampled_tasks.push_back({report.id, report.stack_thread, report.event, report.start_ticks,
                             now_ticks(), report.freeze_sequence, StackSamples()});
  } catch (const std::bad_alloc&) {
    // Without memory the task is not sampled; its release finds nothing to log.
  }
}

void FreezeMonitorImpl::sample_frozen_threads() {
  // Nothing to take, and no release can have queued an end: a pass without sampling stays as it
  // was.
  if (sampled_tasks.empty() && !extra_on(kQuillmarkFreezeSampledStacks)) return;
  std::vector<EndedSampledTask> ended;
  {
    RecordsLock lock(records_mutex);
    ended.swap(ended_sampled_tasks);
  }
  for (const EndedSampledTask& end : ended) {
    const auto task = std::find_if(sampled_tasks.begin(), sampled_tasks.end(),
                                   [&](const SampledTask& t) { return t.id == end.id; });
    if (task == sampled_tasks.end()) continue;
    log_samples(*task, end.duration_ms, true);
    sampled_tasks.erase(task);
  }
  const std::int64_t interval_ticks = sample_interval_ms.load() * kTicksPerMs;
  std::int64_t next = WatchdogAlarm::kNever;
  for (auto task = sampled_tasks.begin(); task != sampled_tasks.end();) {
    const std::int64_t now = now_ticks();
    if (task->next_sample <= now) {
      quillmark::platform::ThreadStack stack;
      if (quillmark::platform::capture_thread_stack(task->thread, kCaptureWait, stack) ==
          quillmark::platform::CaptureOutcome::kCaptured) {
        task->samples.add(stack);
      }
      task->next_sample = now + interval_ticks;
      if (task->samples.count() >= max_samples.load()) {
        log_samples(*task, (now - task->start_ticks) / kTicksPerMs, false);
        task = sampled_tasks.erase(task);
        continue;
      }
    }
    next = std::min(next, task->next_sample);
    ++task;
  }
  if (next != WatchdogAlarm::kNever) alarm_->bring_forward(next);
}

void FreezeMonitorImpl::log_samples(SampledTask& task, std::int64_t duration_ms, bool ended) {
  if (task.samples.count() == 0) return;  // the thread could not be captured even once
  const std::string text = samples_text(
      task.samples, samples_head(task, duration_ms, ended, sample_interval_ms.load()), &describe);
  recent_freezes.set_samples(task.freeze_sequence, text);
  CoreLogPrintLog("ZOR", kSamplesLevel, "FreezeMonitor", nullptr, nullptr, -1, "%s", text.c_str());
}

}  // namespace freezemonitor

QUILLMARK_C_API bool SetFreezeStackSampling(std::uint32_t interval_ms, std::uint32_t max_samples) {
  return freezemonitor::freeze_monitor_instance().set_sampling(interval_ms, max_samples);
}
