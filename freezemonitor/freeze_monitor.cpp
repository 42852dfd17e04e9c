// The monitor singleton, its registry and the operations of the public interface.
#include <core/async_event_bus.h>

#include <utility>

#include "freezemonitor/freeze_monitor_impl.h"
#include "platform/platform.h"

namespace freezemonitor {

std::atomic<std::uint32_t> tracer_id_counter{0};
std::atomic<bool> monitor_alive{true};

namespace {

const char* const kEventTypeNames[15] = {
    "Unknown",       "VideoOpenDecoder", "AudioOpenDecoder", "PictureDecoderAbnormal",
    "VideoAbnormal", "AudioAbnormal",    "GetMediaInfo",     "EffectCreate",
    "EffectRender",  "D3DRender",        "GPUInit",          "ProjLoad",
    "ProjSave",      "PlayerState",      "MaxSize"};
constexpr std::int32_t kHighestNamedType = 13;

// The task's description, as the registry keeps it. A task without a url keeps a null url
// there, which saves an allocation per tracer; reports show it as "" (see report_url).
FreezeEvent base_event(const FreezeTracer& tracer) {
  FreezeEvent event;
  event.event_type = tracer.event_type;
  event.param1 = tracer.param1;
  event.param2 = tracer.param2;
  event.kind = 0;
  event.use_gpu = false;
  return event;
}

FreezeEvent make_event(const FreezeTracer& tracer) { return base_event(tracer); }

FreezeEvent make_event(const UrlTracer& tracer) {
  FreezeEvent event = base_event(tracer);
  event.url = strdup(tracer.url.c_str());
  return event;
}

FreezeEvent make_event(const UrlGpuTracer& tracer) {
  FreezeEvent event = make_event(static_cast<const UrlTracer&>(tracer));
  event.use_gpu = tracer.use_gpu != 0;
  return event;
}

}  // namespace

const char* report_url(const FreezeEvent& event) { return event.url ? event.url : ""; }

const char* event_type_name(std::int32_t type) {
  if (type < 0 || type > kHighestNamedType) return kEventTypeNames[0];
  return kEventTypeNames[type];
}

FreezeMonitorImpl::FreezeMonitorImpl()
    : alarm_(std::make_unique<WatchdogAlarm>(&quillmark::platform::system_time_100ns,
                                             &quillmark::platform::awake_time_100ns,
                                             &quillmark::platform::asleep_time_100ns)) {}

// The tracer and its shared-pointer count share one allocation. A failure while registering
// destroys the tracer, and its destructor finishes any entry that was already appended.
template <class Tracer, class... Args>
std::shared_ptr<Tracer> FreezeMonitorImpl::create(Args&&... args) {
  std::shared_ptr<Tracer> tracer = std::make_shared<Tracer>(std::forward<Args>(args)...);
  register_tracer(tracer->id, make_event(*tracer));
  return tracer;
}

std::shared_ptr<FreezeTracer> FreezeMonitorImpl::CreateFreezeTracer(EventType event_type,
                                                                    std::int64_t param1,
                                                                    std::int64_t param2) {
  return create<FreezeTracer>(event_type, param1, param2);
}

std::shared_ptr<VideoOpenDecoderTracer> FreezeMonitorImpl::CreateVideoOpenDecoderTracer(
    std::string url, std::int32_t use_gpu) {
  return create<VideoOpenDecoderTracer>(std::move(url), use_gpu);
}

std::shared_ptr<AudioOpenDecoderTracer> FreezeMonitorImpl::CreateAudioOpenDecoderTracer(
    std::string url) {
  return create<AudioOpenDecoderTracer>(std::move(url));
}

std::shared_ptr<PictureDecoderAbnormalTracer> FreezeMonitorImpl::CreatePictureDecoderAbnormalTracer(
    std::string url) {
  return create<PictureDecoderAbnormalTracer>(std::move(url));
}

std::shared_ptr<VideoAbnormalTracer> FreezeMonitorImpl::CreateVideoAbnormalTracer(
    std::string url, std::int32_t use_gpu) {
  return create<VideoAbnormalTracer>(std::move(url), use_gpu);
}

std::shared_ptr<AudioAbnormalTracer> FreezeMonitorImpl::CreateAudioAbnormalTracer(std::string url) {
  return create<AudioAbnormalTracer>(std::move(url));
}

std::shared_ptr<GetMediaInfoTracer> FreezeMonitorImpl::CreateGetMediaInfoTracer(std::string url) {
  return create<GetMediaInfoTracer>(std::move(url));
}

std::shared_ptr<EffectCreateTracer> FreezeMonitorImpl::CreateEffectCreateTracer(
    std::string url, std::int32_t use_gpu) {
  return create<EffectCreateTracer>(std::move(url), use_gpu);
}

std::shared_ptr<EffectRenderTracer> FreezeMonitorImpl::CreateEffectRenderTracer(
    std::string url, std::int32_t use_gpu) {
  return create<EffectRenderTracer>(std::move(url), use_gpu);
}

std::shared_ptr<D3DRenderTracer> FreezeMonitorImpl::CreateD3DRenderTracer() {
  return create<D3DRenderTracer>();
}

std::shared_ptr<GPUInitTracer> FreezeMonitorImpl::CreateGPUInitTracer() {
  return create<GPUInitTracer>();
}

std::shared_ptr<ProjLoadTracer> FreezeMonitorImpl::CreateProjLoadTracer() {
  return create<ProjLoadTracer>();
}

std::shared_ptr<ProjSaveTracer> FreezeMonitorImpl::CreateProjSaveTracer() {
  return create<ProjSaveTracer>();
}

std::shared_ptr<PlayerStateTracer> FreezeMonitorImpl::CreatePlayerStateTracer() {
  return create<PlayerStateTracer>();
}

void FreezeMonitorImpl::SetThresholds(std::int64_t new_freeze_ms, std::int64_t new_timeout_ms) {
  freeze_ms.exchange(new_freeze_ms);
  timeout_ms.exchange(new_timeout_ms);
  alarm_->nudge();
}

void FreezeMonitorImpl::GetThresholds(std::int64_t& current_freeze_ms,
                                      std::int64_t& current_timeout_ms) {
  current_freeze_ms = freeze_ms.load();
  current_timeout_ms = timeout_ms.load();
}

void FreezeMonitorImpl::SetTimeoutEventEnabled(bool enabled) {
  post_timeout_event.exchange(enabled);
  alarm_->nudge();
}

FreezeMonitorImpl& freeze_monitor_instance() {
  // The bus is built first so that it is torn down after the monitor: the watchdog may post
  // until the monitor's destruction has joined it.
  static FreezeMonitorImpl& monitor = []() -> FreezeMonitorImpl& {
    core::GetGlobalEventBus();
    static FreezeMonitorImpl instance;
    guard_across_fork(instance);
    return instance;
  }();
  return monitor;
}

FreezeMonitorImpl& freeze_monitor() {
  FreezeMonitorImpl& monitor = freeze_monitor_instance();
  monitor.start_watchdog();
  return monitor;
}

}  // namespace freezemonitor

QUILLMARK_C_API freezemonitor::FreezeMonitor* GetFreezeMonitor() {
  return &freezemonitor::freeze_monitor();
}
