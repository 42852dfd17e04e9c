// The freeze monitor's implementation: the registry of running tasks and its watchdog.
#pragma once

#include <quillmark/freeze_monitor.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "freezemonitor/recent_freezes.h"
#include "freezemonitor/record_index.h"
#include "freezemonitor/stack_samples.h"
#include "freezemonitor/task_statistics.h"
#include "freezemonitor/watchdog_alarm.h"
#include "platform/short_lock.h"
#include "platform/thread_capture.h"
#include "platform/thread_end.h"

namespace freezemonitor {

// One registry entry per tracer.
struct TraceRecord {
  static constexpr std::int32_t kRunning = 1;
  static constexpr std::int32_t kFinished = 2;  // released, or reported as freezed
  static constexpr std::int64_t kTimeoutReported = -1;

  std::uint64_t id;
  std::int64_t freeze_ms;   // threshold in force when the tracer was created
  std::int64_t timeout_ms;  // likewise; kTimeoutReported once the timed-out line is out
  // System clock at creation, 100 ns ticks, moved later by every stretch of time since then
  // during which the watchdog could not run (process stopped, system asleep): that time is not
  // part of the task's running time.
  std::int64_t start_ticks;
  std::int32_t state;
  FreezeEvent event;  // url null for tasks without one
  // The creating thread, for the stack of a freeze report; 0 when stack capture was off.
  quillmark::platform::ThreadId thread = 0;
};

// What a watchdog pass reports about one record, gathered under records_mutex and delivered after
// it is released: the line, then the frozen thread's stack if `stack_thread` is set, then the
// event if `post` (a listener may look the stack up among the recent freezes).
struct PassReport {
  int level;
  const char* format;
  FreezeEvent event;  // a copy, independent of the registry
  bool post;
  quillmark::platform::ThreadId stack_thread;
  double elapsed_ms;
  std::uint64_t freeze_sequence = 0;  // the freeze's entry in the recent freezes; 0: none
  bool sample = false;                // the frozen thread's stack is to be sampled from now on
  std::uint32_t id = 0;               // the tracer, for a task to be sampled
  std::int64_t start_ticks = 0;       // likewise
};

// A task reported as freezed whose tracer has not been released yet.
struct FrozenTask {
  std::uint64_t id;
  std::int64_t start_ticks;
  FreezeEvent event;
  std::uint64_t freeze_sequence;
  bool sampled = false;  // its thread's stack is being sampled
};

// A frozen task whose thread's stack the watchdog samples until the task ends or the bound is
// reached. The watchdog's own: no lock.
struct SampledTask {
  std::uint32_t id;
  quillmark::platform::ThreadId thread;
  FreezeEvent event;
  std::int64_t start_ticks;
  std::int64_t next_sample;
  std::uint64_t freeze_sequence;
  StackSamples samples;
};

// A sampled task that ended, for the watchdog to log its samples.
struct EndedSampledTask {
  std::uint32_t id;
  std::int64_t duration_ms;
};

// The record of a frozen task that ended, for the watchdog to log.
struct RecoveryReport {
  FreezeEvent event;
  std::int64_t duration_ms;
};

// Ids of all tracers of the process; the first tracer gets 1.
extern std::atomic<std::uint32_t> tracer_id_counter;
// False from the moment the monitor's destruction begins.
extern std::atomic<bool> monitor_alive;

// Name of an event type in reports: the table entry for 0 to 13, "Unknown" for anything else.
const char* event_type_name(std::int32_t type);

// The clock reading at which the next rule can fire for a running record that has run
// `elapsed_ms` at the reading `now`: the earlier of the freeze threshold and, while that rule is
// armed, the timed-out threshold. Saturates at WatchdogAlarm::kNever.
std::int64_t next_due(const TraceRecord& record, std::int64_t now, double elapsed_ms);
// The same for a record created at `start` (elapsed 0).
std::int64_t first_due(const TraceRecord& record, std::int64_t start);

// Logs that the watchdog could not run for `skipped`; after the pass, outside records_mutex.
void log_skipped_time(const SkippedTime& skipped);

// The url a report shows: the registry's text, "" for tasks without one.
const char* report_url(const FreezeEvent& event);

// Starts the watchdog thread running `body`; std::thread by default. Replaceable for tests, where
// a launcher that throws stands for a thread that could not be created.
using ThreadLauncher = std::thread (*)(std::function<void()> body);
void set_thread_launcher(ThreadLauncher launcher);

class FreezeMonitorImpl final : public FreezeMonitor {
 public:
  using Clock = std::int64_t (*)();

  FreezeMonitorImpl();
  // Tears down in this order: monitor_alive false, stopping, join the watchdog, clear records.
  ~FreezeMonitorImpl();
  FreezeMonitorImpl(const FreezeMonitorImpl&) = delete;
  FreezeMonitorImpl& operator=(const FreezeMonitorImpl&) = delete;

  std::shared_ptr<FreezeTracer> CreateFreezeTracer(EventType event_type, std::int64_t param1,
                                                   std::int64_t param2) override;
  std::shared_ptr<VideoOpenDecoderTracer> CreateVideoOpenDecoderTracer(
      std::string url, std::int32_t use_gpu) override;
  std::shared_ptr<AudioOpenDecoderTracer> CreateAudioOpenDecoderTracer(std::string url) override;
  std::shared_ptr<PictureDecoderAbnormalTracer> CreatePictureDecoderAbnormalTracer(
      std::string url) override;
  std::shared_ptr<VideoAbnormalTracer> CreateVideoAbnormalTracer(std::string url,
                                                                 std::int32_t use_gpu) override;
  std::shared_ptr<AudioAbnormalTracer> CreateAudioAbnormalTracer(std::string url) override;
  std::shared_ptr<GetMediaInfoTracer> CreateGetMediaInfoTracer(std::string url) override;
  std::shared_ptr<EffectCreateTracer> CreateEffectCreateTracer(std::string url,
                                                               std::int32_t use_gpu) override;
  std::shared_ptr<EffectRenderTracer> CreateEffectRenderTracer(std::string url,
                                                               std::int32_t use_gpu) override;
  std::shared_ptr<D3DRenderTracer> CreateD3DRenderTracer() override;
  std::shared_ptr<GPUInitTracer> CreateGPUInitTracer() override;
  std::shared_ptr<ProjLoadTracer> CreateProjLoadTracer() override;
  std::shared_ptr<ProjSaveTracer> CreateProjSaveTracer() override;
  std::shared_ptr<PlayerStateTracer> CreatePlayerStateTracer() override;
  void SetThresholds(std::int64_t freeze_ms, std::int64_t timeout_ms) override;
  void GetThresholds(std::int64_t& freeze_ms, std::int64_t& timeout_ms) override;
  void SetTimeoutEventEnabled(bool enabled) override;

  // Switches stack capture for freeze reports; returns whether it is on.
  bool set_stack_capture(bool enabled);
  // Switches leaving out the time the watchdog could not run (on from the start); returns the
  // previous setting.
  bool set_suspension_skip(bool enabled) { return alarm_->set_suspension_skip(enabled); }

  // The sampling interval and bound of kQuillmarkFreezeSampledStacks; false (nothing changed)
  // for values out of range.
  bool set_sampling(std::uint32_t interval_ms, std::uint32_t max_samples);

  // Switches the extras (QuillmarkFreezeExtras); returns the set in force.
  unsigned set_extras(unsigned wanted);
  // The figures gathered while statistics were on.
  std::vector<TypeFigures> statistics();
  // Logs one line per type of the statistics, if they are on.
  void log_statistics();
  // Calls `visit` for each recent freeze, the newest first, with no lock held; returns how many.
  std::size_t visit_recent_freezes(QuillmarkRecentFreezeVisitor visit, void* context);

  // Starts the watchdog unless it runs already. Callers that meet a start in progress wait for
  // it; if starting fails (the exception reaches the caller), a later call tries again.
  void start_watchdog();
  bool is_stopping() const { return stopping.load(); }
  // Finishes the record of tracer `id`, if it still runs.
  void end_trace(std::uint32_t id);

  // Around a fork (freezemonitor/fork_safety.cpp): records_mutex and the alarm's lock are held
  // while the process is copied, and the child gives up the parent's watchdog, which it does not
  // have; its next GetFreezeMonitor starts one of its own.
  void lock_for_fork();
  void unlock_after_fork();
  void forget_watchdog_after_fork();

  // Seams for tests and benchmarks. The clock the registry and the watchdog read (system clock
  // by default); a hand-moved clock must call clock_moved after each move, as a real clock's
  // passing time wakes the watchdog by itself.
  void set_clock(Clock clock) { alarm_->set_clock(clock); }
  void clock_moved() { alarm_->nudge(); }
  // The readings that tell when the watchdog could not run (see WatchdogAlarm); moved by hand
  // like the clock, while the watchdog sleeps.
  void set_suspension_clocks(Clock awake, Clock asleep) {
    alarm_->set_suspension_clocks(awake, asleep);
  }
  // Has one whole pass run that starts after this call; false if none completed within 20 s.
  bool run_pass();
  std::uint64_t completed_passes() const { return alarm_->completed_passes(); }
  std::uint64_t watchdog_wakeups() const { return alarm_->wakeups(); }
  // The clock reading the watchdog sleeps until (WatchdogAlarm::kNever: no task runs).
  std::int64_t watchdog_due() const { return alarm_->due(); }
  std::thread::native_handle_type watchdog_handle() { return watch_thread.native_handle(); }
  std::vector<TraceRecord> records_snapshot();

 private:
  template <class Tracer, class... Args>
  std::shared_ptr<Tracer> create(Args&&... args);
  void register_tracer(std::uint32_t id, FreezeEvent event);
  // Marks the record at `position` finished (once); it leaves `records` at the next compaction.
  void mark_finished(std::size_t position);
  // Marks it finished and drops the finished records at the end of `records`.
  void finish(std::size_t position);
  // Marks the record at `position` finished, once it is out of running_index already.
  void retire(std::size_t position);
  // Drops the finished records at the end of `records`.
  void pop_finished();
  // Removes finished records, keeping the order of the others. records_mutex held.
  void drop_finished();
  void clear_records();
  void watch_loop();
  // One pass over the registry, under records_mutex: leaves `skipped` out of the running tasks'
  // time, appends its reports to `reports` and hands the next due time to the alarm.
  void check_records(const SkippedTime& skipped, std::vector<PassReport>& reports);
  // Applies both rules to a running record; returns when its next rule can fire, or kNever
  // once it is finished.
  std::int64_t check_record(std::size_t position, std::vector<PassReport>& reports);
  // Logs and posts what a pass found, in its order, with no lock of the monitor held.
  void deliver(const SkippedTime& skipped, std::vector<PassReport>& reports);
  void post_event(FreezeEvent event);
  bool extra_on(unsigned extra) const {
    return (extras.load(std::memory_order_relaxed) & extra) != 0;
  }
  // At a timed-out or freezed report, under records_mutex: what the extras keep of it. Returns
  // the freeze's sequence in the recent freezes.
  void note_timed_out(const TraceRecord& record);
  std::uint64_t note_freeze(const TraceRecord& record, bool sampled);
  // At the release of a task's tracer, under records_mutex: the running task at `position`, or
  // the frozen task `id` if there is one.
  void note_ended(const TraceRecord& record);
  void end_frozen_trace(std::uint32_t id);
  // Logs the recovery records of tasks released since the last call; no lock held.
  void deliver_recoveries();
  // On the watchdog, no lock held: starts sampling the task of a freezed report, takes the
  // samples that are due, logs the samples of tasks that ended or reached the bound, and brings
  // the alarm forward to the next sample.
  void start_sampling(PassReport& report);
  void sample_frozen_threads();
  void log_samples(SampledTask& task, std::int64_t duration_ms, bool ended);
  bool on_watchdog() const { return watchdog_id.load() == std::this_thread::get_id(); }
  std::int64_t now_ticks() const { return alarm_->now(); }

  std::vector<TraceRecord> records;  // guarded by records_mutex, in order of creation
  // Running records by id (finished ones are not in it); guarded by records_mutex.
  RecordIndex running_index;
  std::size_t finished_count = 0;  // finished records still in `records`; records_mutex
  // Held for a whole watchdog pass over the records, but never while the pass logs, posts or
  // captures a stack: a log sink or a listener may create or release tracers. Taken before the
  // alarm's mutex, never while holding it; no host code runs under it. A ShortLock: every tracer
  // takes it twice, for a few operations at a time, and a free one costs one atomic instruction.
  quillmark::platform::ShortLock records_mutex;
  using RecordsLock = std::lock_guard<quillmark::platform::ShortLock>;
  std::atomic<bool> stopping{false};
  std::atomic<bool> thread_started{false};  // set once watch_thread runs
  std::mutex start_mutex;                   // serialises starting the watchdog
  std::thread watch_thread;
  // Marked by the watchdog as it ends; reset under start_mutex before it starts.
  quillmark::platform::ThreadEnd watchdog_end;
  // Set by the watchdog itself when it starts: code that runs on it (a log sink that forks or
  // ends the process) cannot wait for the watchdog.
  std::atomic<std::thread::id> watchdog_id{};
  std::atomic<std::int64_t> freeze_ms{5000};
  std::atomic<std::int64_t> timeout_ms{3000};
  std::atomic<bool> post_timeout_event{false};
  std::atomic<bool> capture_stacks{false};
  std::mutex capture_switch_mutex;  // serialises set_stack_capture
  // Logs the record with the frozen thread's stack that follows a freezed line (the capture
  // waits at most 50 ms for the thread). Installed by the first set_stack_capture(true), so that
  // the monitor needs the call-stack code only once asked to. Returns the record's text.
  using StackReporter = std::string (*)(quillmark::platform::ThreadId thread, double elapsed_ms);
  std::atomic<StackReporter> stack_reporter{nullptr};

  std::atomic<unsigned> extras{0};  // QuillmarkFreezeExtras in force
  std::mutex extras_switch_mutex;   // serialises set_extras
  // Frozen tasks awaiting their release, oldest first; records_mutex. Bounded: past
  // kMostFrozenTasks the oldest is forgotten, and its release goes unnoticed.
  std::vector<FrozenTask> frozen_tasks;
  TaskStatistics task_statistics;          // records_mutex
  std::vector<RecoveryReport> recoveries;  // released frozen tasks to log; records_mutex
  RecentFreezes recent_freezes;            // its own leaf lock, taken under records_mutex too
  std::vector<SampledTask> sampled_tasks;  // the watchdog's own
  std::vector<EndedSampledTask> ended_sampled_tasks;  // records_mutex
  std::atomic<std::uint32_t> sample_interval_ms{250};
  std::atomic<std::uint32_t> max_samples{40};

  // On the heap so that an exit that has ended the watchdog can leave it undestroyed: the ended
  // thread may still count as a waiter on its condition variables, whose destruction would then
  // wait for it (Windows).
  std::unique_ptr<WatchdogAlarm> alarm_;
};

// The process-wide monitor (the one GetFreezeMonitor returns), watchdog started.
FreezeMonitorImpl& freeze_monitor();
// The same monitor without starting anything, for paths that must not throw.
FreezeMonitorImpl& freeze_monitor_instance();

// Keeps the process-wide `monitor` consistent across fork(); called once, when it is built.
void guard_across_fork(FreezeMonitorImpl& monitor);

}  // namespace freezemonitor
