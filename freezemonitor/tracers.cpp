// Tracer classes: creation takes the next process-wide id, destruction ends the trace.
#include <core/log.h>

#include <utility>

#include "freezemonitor/freeze_monitor_impl.h"

namespace freezemonitor {

FreezeTracer::FreezeTracer(EventType type, std::int64_t first_param, std::int64_t second_param)
    : id(tracer_id_counter.fetch_add(1) + 1),
      event_type(type),
      param1(first_param),
      param2(second_param) {}

// Runs on whichever thread drops the last shared pointer, possibly after the monitor is gone.
FreezeTracer::~FreezeTracer() {
  if (!monitor_alive.load()) {
    CoreLogPrintLog("ZOR", 5, "FreezeMonitor", nullptr, nullptr, -1,
                    "freezemonitor already destory.");
    return;
  }
  FreezeMonitorImpl& monitor = freeze_monitor_instance();
  if (monitor.is_stopping()) return;
  monitor.end_trace(id);
}

UrlTracer::UrlTracer(EventType type, std::string task_url)
    : FreezeTracer(type, 0, 0), url(std::move(task_url)) {}

UrlGpuTracer::UrlGpuTracer(EventType type, std::string task_url, std::int32_t task_use_gpu)
    : UrlTracer(type, std::move(task_url)), use_gpu(task_use_gpu) {}

VideoOpenDecoderTracer::VideoOpenDecoderTracer(std::string task_url, std::int32_t task_use_gpu)
    : UrlGpuTracer(VideoOpenDecoder, std::move(task_url), task_use_gpu) {}
VideoAbnormalTracer::VideoAbnormalTracer(std::string task_url, std::int32_t task_use_gpu)
    : UrlGpuTracer(VideoAbnormal, std::move(task_url), task_use_gpu) {}
EffectCreateTracer::EffectCreateTracer(std::string task_url, std::int32_t task_use_gpu)
    : UrlGpuTracer(EffectCreate, std::move(task_url), task_use_gpu) {}
EffectRenderTracer::EffectRenderTracer(std::string task_url, std::int32_t task_use_gpu)
    : UrlGpuTracer(EffectRender, std::move(task_url), task_use_gpu) {}

AudioOpenDecoderTracer::AudioOpenDecoderTracer(std::string task_url)
    : UrlTracer(AudioOpenDecoder, std::move(task_url)) {}
PictureDecoderAbnormalTracer::PictureDecoderAbnormalTracer(std::string task_url)
    : UrlTracer(PictureDecoderAbnormal, std::move(task_url)) {}
AudioAbnormalTracer::AudioAbnormalTracer(std::string task_url)
    : UrlTracer(AudioAbnormal, std::move(task_url)) {}
GetMediaInfoTracer::GetMediaInfoTracer(std::string task_url)
    : UrlTracer(GetMediaInfo, std::move(task_url)) {}

D3DRenderTracer::D3DRenderTracer() : FreezeTracer(D3DRender, 0, 0) {}
GPUInitTracer::GPUInitTracer() : FreezeTracer(GPUInit, 0, 0) {}
ProjLoadTracer::ProjLoadTracer() : FreezeTracer(ProjLoad, 0, 0) {}
ProjSaveTracer::ProjSaveTracer() : FreezeTracer(ProjSave, 0, 0) {}
PlayerStateTracer::PlayerStateTracer() : FreezeTracer(PlayerState, 0, 0) {}

}  // namespace freezemonitor
