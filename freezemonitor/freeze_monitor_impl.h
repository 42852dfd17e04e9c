// The freeze monitor's implementation: the registry of running tasks and its watchdog.
#pragma once

#include <quillmark/freeze_monitor.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace freezemonitor {

// One registry entry per tracer.
struct TraceRecord {
  static constexpr std::int32_t kRunning = 1;
  static constexpr std::int32_t kFinished = 2;  // released, or reported as freezed
  static constexpr std::int64_t kTimeoutReported = -1;

  std::uint64_t id;
  std::int64_t freeze_ms;    // threshold in force when the tracer was created
  std::int64_t timeout_ms;   // likewise; kTimeoutReported once the timed-out line is out
  std::int64_t start_ticks;  // system clock at creation, 100 ns ticks
  std::int32_t state;
  FreezeEvent event;
};

// Ids of all tracers of the process; the first tracer gets 1.
extern std::atomic<std::uint32_t> tracer_id_counter;
// False from the moment the monitor's destruction begins.
extern std::atomic<bool> monitor_alive;

// Name of an event type in reports: the table entry for 0 to 13, "Unknown" for anything else.
const char* event_type_name(std::int32_t type);

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

  // Starts the watchdog unless some caller already did (one atomic exchange decides).
  void start_watchdog();
  bool is_stopping() const { return stopping.load(); }
  // Marks the record of tracer `id` finished; the next pass drops it.
  void end_trace(std::uint32_t id);

  // Around a fork (freezemonitor/fork_safety.cpp): records_mutex is held while the process is
  // copied, and the child gives up the parent's watchdog, which it does not have; its next
  // GetFreezeMonitor starts one of its own.
  void lock_for_fork();
  void unlock_after_fork();
  void forget_watchdog_after_fork();

  // Seams for tests: the clock the registry and the watchdog read (system clock by default),
  // the number of passes completed, and a copy of the registry.
  void set_clock(Clock clock) { clock_.store(clock); }
  std::uint64_t completed_passes() const { return completed_passes_.load(); }
  std::vector<TraceRecord> records_snapshot();

 private:
  template <class Tracer, class... Args>
  std::shared_ptr<Tracer> create(Args&&... args);
  void register_tracer(std::uint32_t id, FreezeEvent event);
  void watch_loop();
  // One pass over the registry, under records_mutex.
  void check_records();
  void check_record(TraceRecord& record);
  void post_event(FreezeEvent event);
  bool on_watchdog() const { return watchdog_id.load() == std::this_thread::get_id(); }
  std::int64_t now_ticks() const { return clock_.load()(); }

  std::vector<TraceRecord> records;  // guarded by records_mutex, in order of creation
  // Held for a whole watchdog pass, including its log calls and event posting; taken before
  // the bus's queueMutex, never while holding a bus lock.
  std::mutex records_mutex;
  std::atomic<bool> stopping{false};
  std::atomic<bool> thread_started{false};
  std::thread watch_thread;
  // Set by the watchdog itself when it starts: code that runs on it (log sinks, tracers released
  // there) is inside a pass, which holds records_mutex.
  std::atomic<std::thread::id> watchdog_id{};
  const std::int32_t check_interval_ms = 1;
  std::atomic<std::int64_t> freeze_ms{5000};
  std::atomic<std::int64_t> timeout_ms{3000};
  std::atomic<bool> post_timeout_event{false};

  std::atomic<Clock> clock_;
  std::atomic<std::uint64_t> completed_passes_{0};
};

// The process-wide monitor (the one GetFreezeMonitor returns), watchdog started.
FreezeMonitorImpl& freeze_monitor();

// Keeps the process-wide `monitor` consistent across fork(); called once, when it is built.
void guard_across_fork(FreezeMonitorImpl& monitor);

}  // namespace freezemonitor
