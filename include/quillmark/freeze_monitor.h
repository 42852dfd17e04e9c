// The freeze monitor: tells the host when one of its long-running tasks takes too long.
//
// Host code asks the one monitor of the process for a tracer when a task begins and keeps the
// returned shared pointer while the task runs; dropping the last copy ends the trace. A watchdog
// thread logs every task that passes the timed-out threshold (level 5) or the freeze threshold
// (level 6) and posts a FreezeEvent on the host's global event bus for each frozen task (and for
// each timed-out task once SetTimeoutEventEnabled(true) was called).
#pragma once

#include <quillmark/export.h>

#include <stdlib.h>
#include <string.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace freezemonitor {

// The kind of a traced task. MaxSize is the count of types, not a task.
enum EventType : std::int32_t {
  Unknown = 0,
  VideoOpenDecoder = 1,
  AudioOpenDecoder = 2,
  PictureDecoderAbnormal = 3,
  VideoAbnormal = 4,
  AudioAbnormal = 5,
  GetMediaInfo = 6,
  EffectCreate = 7,
  EffectRender = 8,
  D3DRender = 9,
  GPUInit = 10,
  ProjLoad = 11,
  ProjSave = 12,
  PlayerState = 13,
  MaxSize = 14,
};

}  // namespace freezemonitor

// One traced task as the monitor reports it; posted on the host's global event bus, where
// listeners subscribe with listen<FreezeEvent>. Every copy owns its own `url` text (strdup/free).
struct FreezeEvent {
  freezemonitor::EventType event_type = freezemonitor::Unknown;
  std::int64_t param1 = 0;  // passed through from CreateFreezeTracer, else 0
  std::int64_t param2 = 0;  // passed through from CreateFreezeTracer, else 0
  std::int32_t kind = 0;    // 0: timed out, 1: freezed
  bool use_gpu = false;
  char* url = nullptr;  // "" for tasks without a url; never null in a posted event

  FreezeEvent() = default;
  // A null url stays null.
  FreezeEvent(const FreezeEvent& other)
      : event_type(other.event_type),
        param1(other.param1),
        param2(other.param2),
        kind(other.kind),
        use_gpu(other.use_gpu),
        url(other.url ? strdup(other.url) : nullptr) {}
  // Moves hand the text over; the source is left with a null url.
  FreezeEvent(FreezeEvent&& other) noexcept
      : event_type(other.event_type),
        param1(other.param1),
        param2(other.param2),
        kind(other.kind),
        use_gpu(other.use_gpu),
        url(other.url) {
    other.url = nullptr;
  }
  FreezeEvent& operator=(FreezeEvent&& other) noexcept {
    if (this == &other) return *this;
    free(url);
    event_type = other.event_type;
    param1 = other.param1;
    param2 = other.param2;
    kind = other.kind;
    use_gpu = other.use_gpu;
    url = other.url;
    other.url = nullptr;
    return *this;
  }
  FreezeEvent& operator=(const FreezeEvent& other) {
    if (this == &other) return *this;
    free(url);
    event_type = other.event_type;
    param1 = other.param1;
    param2 = other.param2;
    kind = other.kind;
    use_gpu = other.use_gpu;
    url = other.url ? strdup(other.url) : nullptr;
    return *this;
  }
  ~FreezeEvent() { free(url); }
};

namespace freezemonitor {

// Base of all tracers. A tracer is made only by the monitor and destroyed through the shared
// pointer that the monitor returned; destroying it ends the trace (from any thread). One released
// after the monitor was torn down only logs "freezemonitor already destory.". Not copyable.
class FreezeTracer {
 public:
  FreezeTracer(EventType type, std::int64_t first_param, std::int64_t second_param);
  ~FreezeTracer();
  FreezeTracer(const FreezeTracer&) = delete;
  FreezeTracer& operator=(const FreezeTracer&) = delete;

  std::uint32_t id;  // unique in the process; the first tracer has id 1
  EventType event_type;
  std::int64_t param1;
  std::int64_t param2;
};

// Tracers of tasks that read a media url.
class UrlTracer : public FreezeTracer {
 public:
  UrlTracer(EventType type, std::string task_url);

  std::string url;
};

// Tracers of tasks that read a media url and may run on the GPU.
class UrlGpuTracer : public UrlTracer {
 public:
  UrlGpuTracer(EventType type, std::string task_url, std::int32_t task_use_gpu);

  std::int32_t use_gpu;  // as the caller passed it; any non-zero value means true
};

class VideoOpenDecoderTracer : public UrlGpuTracer {
 public:
  VideoOpenDecoderTracer(std::string task_url, std::int32_t task_use_gpu);
};

class VideoAbnormalTracer : public UrlGpuTracer {
 public:
  VideoAbnormalTracer(std::string task_url, std::int32_t task_use_gpu);
};

class EffectCreateTracer : public UrlGpuTracer {
 public:
  EffectCreateTracer(std::string task_url, std::int32_t task_use_gpu);
};

class EffectRenderTracer : public UrlGpuTracer {
 public:
  EffectRenderTracer(std::string task_url, std::int32_t task_use_gpu);
};

class AudioOpenDecoderTracer : public UrlTracer {
 public:
  explicit AudioOpenDecoderTracer(std::string task_url);
};

class PictureDecoderAbnormalTracer : public UrlTracer {
 public:
  explicit PictureDecoderAbnormalTracer(std::string task_url);
};

class AudioAbnormalTracer : public UrlTracer {
 public:
  explicit AudioAbnormalTracer(std::string task_url);
};

class GetMediaInfoTracer : public UrlTracer {
 public:
  explicit GetMediaInfoTracer(std::string task_url);
};

class D3DRenderTracer : public FreezeTracer {
 public:
  D3DRenderTracer();
};

class GPUInitTracer : public FreezeTracer {
 public:
  GPUInitTracer();
};

class ProjLoadTracer : public FreezeTracer {
 public:
  ProjLoadTracer();
};

class ProjSaveTracer : public FreezeTracer {
 public:
  ProjSaveTracer();
};

class PlayerStateTracer : public FreezeTracer {
 public:
  PlayerStateTracer();
};

// The one monitor of the process, from GetFreezeMonitor. Never deleted by callers.
// Every Create operation starts a trace: the tracer gets the next process-wide id and a registry
// entry with the current time and the thresholds in force now. A url is copied, never read.
class FreezeMonitor {
 public:
  // Traces a task of any type (values outside the table are reported as "Unknown"); the two
  // params are passed through to the event untouched.
  virtual std::shared_ptr<FreezeTracer> CreateFreezeTracer(EventType event_type,
                                                           std::int64_t param1,
                                                           std::int64_t param2) = 0;
  // Opening a video decoder for `url` (type 1); any non-zero use_gpu is reported as 1.
  virtual std::shared_ptr<VideoOpenDecoderTracer> CreateVideoOpenDecoderTracer(
      std::string url, std::int32_t use_gpu) = 0;
  // Opening an audio decoder for `url` (type 2).
  virtual std::shared_ptr<AudioOpenDecoderTracer> CreateAudioOpenDecoderTracer(std::string url) = 0;
  // A picture decoder misbehaving on `url` (type 3).
  virtual std::shared_ptr<PictureDecoderAbnormalTracer> CreatePictureDecoderAbnormalTracer(
      std::string url) = 0;
  // Video of `url` misbehaving (type 4).
  virtual std::shared_ptr<VideoAbnormalTracer> CreateVideoAbnormalTracer(std::string url,
                                                                         std::int32_t use_gpu) = 0;
  // Audio of `url` misbehaving (type 5).
  virtual std::shared_ptr<AudioAbnormalTracer> CreateAudioAbnormalTracer(std::string url) = 0;
  // Reading the media information of `url` (type 6).
  virtual std::shared_ptr<GetMediaInfoTracer> CreateGetMediaInfoTracer(std::string url) = 0;
  // Creating an effect (type 7).
  virtual std::shared_ptr<EffectCreateTracer> CreateEffectCreateTracer(std::string url,
                                                                       std::int32_t use_gpu) = 0;
  // Rendering an effect (type 8).
  virtual std::shared_ptr<EffectRenderTracer> CreateEffectRenderTracer(std::string url,
                                                                       std::int32_t use_gpu) = 0;
  // Tasks without a url (types 9 to 13) report "" and use_gpu 0.
  virtual std::shared_ptr<D3DRenderTracer> CreateD3DRenderTracer() = 0;
  virtual std::shared_ptr<GPUInitTracer> CreateGPUInitTracer() = 0;
  virtual std::shared_ptr<ProjLoadTracer> CreateProjLoadTracer() = 0;
  virtual std::shared_ptr<ProjSaveTracer> CreateProjSaveTracer() = 0;
  virtual std::shared_ptr<PlayerStateTracer> CreatePlayerStateTracer() = 0;

  // Thresholds in milliseconds for tracers created from now on (defaults 5000 and 3000); traces
  // already running keep theirs. Not checked: timeout_ms <= 0 disables the timed-out report,
  // freeze_ms <= 0 reports a task as freezed in the first pass after its creation.
  virtual void SetThresholds(std::int64_t freeze_ms, std::int64_t timeout_ms) = 0;
  // The thresholds that new tracers get.
  virtual void GetThresholds(std::int64_t& freeze_ms, std::int64_t& timeout_ms) = 0;
  // Whether timed-out reports are posted as events too (kind 0); off by default. Freezed reports
  // are always posted.
  virtual void SetTimeoutEventEnabled(bool enabled) = 0;

 protected:
  ~FreezeMonitor() = default;
};

}  // namespace freezemonitor

// The process-wide monitor, never null. The first call builds it and starts its watchdog thread,
// which runs until the library's teardown. Thread-safe. On Windows the library then stays loaded
// until the process ends (FreeLibrary only drops the caller's reference), because an unload could
// not wait for the watchdog.
QUILLMARK_C_API freezemonitor::FreezeMonitor* GetFreezeMonitor();

// Freeze reports that say where the task is stuck; off by default, so reports stay as they are.
// When on, each tracer created from then on remembers the thread that created it, and each
// "task has freezed" line is followed by one more record (logger "ZOR", tag "FreezeMonitor",
// level 6): "frozen thread <id> (task running for <ms> ms) stack:\n" and up to 10 frame lines in
// the format of resource stacks, from the innermost frame outside quillmark; or, when the thread
// has exited, blocks the capture or does not answer within 50 ms, "... stack unavailable:
// <reason>". The watchdog never waits longer than that for a thread, and the thread goes on.
// Linux leaves a thread that waits in the kernel (sleep, poll, a lock, a read...) alone: its
// stack is walked from outside while it waits, and its call goes on undisturbed. A walk that
// cannot follow the stack to its end (code without unwind data) shows the frames it found and a
// last line "    (note: <why>)". Only a thread that runs user code is interrupted, with a
// real-time signal; if it enters a blocking call in the microseconds between the check and the
// signal, that call can end early with EINTR, as with any signal: nanosleep and clock_nanosleep
// (sleep, usleep), poll, ppoll, select, pselect, epoll_wait, epoll_pwait, sigtimedwait,
// sem_timedwait, and socket reads and writes with a time-out. The record then ends with
// "    (note: the capture's signal ended a blocking system call early)". Calls the kernel restarts
// (SA_RESTART) are not affected. The signal is SIGRTMAX - 3 unless the environment
// variable QUILLMARK_FREEZE_STACK_SIGNAL names another one when capture is switched on: a decimal
// number from SIGRTMIN to SIGRTMAX (34 to 64 with glibc). Any other value, the empty one
// included, is passed over for SIGRTMAX - 3, and the call that switches capture on writes one
// warning to standard error and the debugger:
//   WARNING: Quillmark: QUILLMARK_FREEZE_STACK_SIGNAL="<value>" is not a real-time signal
//   number (<SIGRTMIN> to <SIGRTMAX>); freeze stacks use signal <SIGRTMAX - 3>.
// (on one line; the value is cut at 64 bytes). Other signals of the chosen number still reach
// the handler the host installed before, which comes back when capture is switched off. Windows
// ignores the variable; it suspends the thread for as long as it takes to copy its registers and
// stack. Returns whether capture is on after the call: false if the signal cannot be used (a
// passed-over value is not such a case, the default signal is used). Thread-safe.
// The record is logged (and kept for VisitRecentFreezes) before the freeze's event is posted.
QUILLMARK_C_API bool SetFreezeStackCaptureEnabled(bool enabled);

// A task's running time leaves out the time during which the watchdog could not run, so that
// stopping the process (a debugger, SIGSTOP, a paused virtual machine) or a sleep of the system
// never by itself makes a task time out or freeze. On by default. Found while at least one task
// is traced: the watchdog then wakes at least every 100 ms, and a wake that comes more than
// 1000 ms after the moment it asked for (measured on a clock that no one sets and that stands
// still while the system sleeps), or a system sleep longer than 1000 ms (Linux: CLOCK_BOOTTIME
// against CLOCK_MONOTONIC; Windows 10 and later: the interrupt time against the unbiased one; not
// seen on older Windows), is such a gap; shorter delays count as running time. Each gap is logged
// once (logger "ZOR", tag "FreezeMonitor", level 5), before that pass's reports:
//   watchdog could not run for <ms> ms (process stopped or system asleep); that time is not
//   counted as tasks' running time.
// (on one line). A task traced across the gap loses the part of it after its start (for its
// thresholds, and in the durations of its recovery record and statistics); a stop during one of
// the watchdog's passes (a few milliseconds; longer while a log sink is slow or a frozen thread's
// stack is taken) is not seen. Off, a task's running time is the plain difference of two clock
// readings, gaps included. Returns the previous setting. Thread-safe; takes effect from the
// watchdog's next sleep.
QUILLMARK_C_API bool SetFreezeSuspensionSkipEnabled(bool enabled);

// Extras of the freeze reports, each one bit of the set SetFreezeReportExtras takes. All are off
// by default; while they are, every line and event is exactly as described above.
enum QuillmarkFreezeExtras : unsigned {
  // When a task that was reported as freezed ends (the last pointer to its tracer is released),
  // one more record follows (logger "ZOR", tag "FreezeMonitor", level 5):
  //   "task has recovered after <ms> ms. event type is <type>, url: <url>, use_gpu: <0|1>."
  // with the identifiers of its freezed line; <ms> is the time from the tracer's creation to its
  // release, in whole milliseconds. The watchdog logs it soon after the release, never the
  // releasing thread, so a release made while holding a lock the log sink takes is safe.
  kQuillmarkFreezeRecovery = 1u,
  // Sampled stacks of frozen tasks, while stack capture is on (SetFreezeStackCaptureEnabled):
  // from the freezed report on, the watchdog takes the frozen thread's stack every interval
  // (250 ms unless SetFreezeStackSampling says otherwise; each sample costs the watchdog one
  // capture, taken as that function describes, and no symbol work). When the task ends, or once
  // the bound of samples is reached (40 by default; sampling then stops), one record follows
  // (logger "ZOR", tag "FreezeMonitor", level 6):
  //   "stack samples of frozen thread <id>, every <ms> ms, task ended after <ms> ms: <n> samples,
  //   <k> distinct. event type is <type>, url: <url>, use_gpu: <0|1>."   (one line; "task still
  //   running after" when the bound was reached)
  // then, for each distinct place, most samples first (the first seen first among equals):
  //   "\n  <share>% (<count> of <n>):\n" and up to 10 frame lines, as the frozen-stack record.
  // Samples belong to one place when the thread stood in the same function (anywhere in it) under
  // the same callers. The record is kept among the recent freezes too. Tasks still sampled when
  // the library is torn down get no record.
  kQuillmarkFreezeSampledStacks = 2u,
  // Per-type statistics of the traced tasks, read with GetFreezeStatistics and logged when the
  // library is torn down in an orderly way (see GetFreezeStatistics).
  kQuillmarkFreezeStatistics = 4u,
};

// The interval between two samples of a frozen thread's stack, 10 to 60000 ms, and the most
// samples taken of one task, 1 to 1000 (see kQuillmarkFreezeSampledStacks). Returns false, and
// changes nothing, for a value out of range. Thread-safe; tasks already sampled take the new
// values from their next sample.
QUILLMARK_C_API bool SetFreezeStackSampling(std::uint32_t interval_ms, std::uint32_t max_samples);

// Switches the extras: the bits of `extras` that name one are switched on, all others off; bits
// that name none are ignored. Returns the set in force after the call. Thread-safe; takes effect
// for reports and releases from then on (a recovery record goes to each frozen task released
// while recovery is on, whenever it froze).
// Switching statistics on starts them afresh; switching them off stops counting and keeps the
// figures for GetFreezeStatistics.
QUILLMARK_C_API unsigned SetFreezeReportExtras(unsigned extras);

// The statistics of one event type. Types 0 to 13 are counted apart; every other value counts as
// type 0, whose reports are named "Unknown" too.
struct QuillmarkFreezeTypeStatistics {
  std::int32_t event_type;
  // Tasks that ended (their tracer released) while statistics were on. A task that still runs is
  // in no duration and not in `tasks`; its reports are in the next two counts as soon as they
  // are made, so a task that freezes and never ends counts in `freezed` alone.
  std::uint64_t tasks;
  std::uint64_t timed_out;  // timed-out reports made while statistics were on
  std::uint64_t freezed;    // freezed reports made while statistics were on
  // Durations of the ended tasks, creation to release, in whole milliseconds: the nearest-rank
  // percentiles (the smallest duration that at least 50 % or 95 % of them do not exceed) and the
  // longest; 0 when no task ended. Exact for up to 65,536 ended tasks of the type; beyond that
  // the percentiles come from a uniform sample of 65,536 of them, the maximum stays exact.
  std::int64_t p50_ms;
  std::int64_t p95_ms;
  std::int64_t max_ms;
};

// Writes the statistics of each type that has any count into `buffer`, in ascending order of
// type, at most `capacity` of them, and returns how many types have figures (call with a null
// buffer or a capacity of 0 to learn the size needed; a short buffer gets the first ones). A
// null buffer is taken as capacity 0. Nothing is counted while statistics are off. At an orderly
// teardown of the library (not at a Windows process exit, where other threads may have been ended
// holding the log's lock) while statistics are on, each such type is logged at level 5:
//   "freeze statistics of <type>: <tasks> tasks, <n> timed out, <n> freezed; durations p50 <ms>
//   ms, p95 <ms> ms, max <ms> ms."  (one line)
// Thread-safe.
QUILLMARK_C_API std::size_t GetFreezeStatistics(QuillmarkFreezeTypeStatistics* buffer,
                                                std::size_t capacity);

// One of the most recent freezes, as VisitRecentFreezes shows it. Its texts are valid only
// during the visitor's call.
struct QuillmarkRecentFreeze {
  std::uint64_t sequence;  // 1 for the first freeze of the process, counting up
  std::int32_t event_type;
  std::int32_t use_gpu;  // 0 or 1
  std::int64_t param1;
  std::int64_t param2;
  const char* url;  // never null; "" for tasks without a url
  // The thread that created the tracer; 0 when neither stack capture nor an extra was on then.
  std::uint64_t thread_id;
  // Milliseconds since the task's creation: so far while it runs, final once it `recovered`.
  std::int64_t duration_ms;
  std::int32_t recovered;  // 1 once the task ended
  // The frozen-stack record logged after its freezed line (see SetFreezeStackCaptureEnabled),
  // whole; "" when capture was off. It is in place before the freeze's event is posted.
  const char* stack;
  // The stack-samples record (kQuillmarkFreezeSampledStacks), whole, once it is logged; "" before
  // and without sampling.
  const char* samples;
};

typedef void (*QuillmarkRecentFreezeVisitor)(const QuillmarkRecentFreeze* freeze, void* context);

// Calls `visit` once for each of the last 32 freezes of the process, the newest first, with
// `context`, and returns how many there are (a null `visit` only counts them). The freezes are
// copied first and visited with no lock of the monitor held, so a visitor may do anything, and
// a FreezeEvent listener can call this to find the freeze it handles (the newest entry with the
// event's type, url and params). Kept whether or not any extra is on. Thread-safe.
QUILLMARK_C_API std::size_t VisitRecentFreezes(QuillmarkRecentFreezeVisitor visit, void* context);
