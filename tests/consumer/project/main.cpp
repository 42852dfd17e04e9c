// Touches each service through the installed headers and libraries; exits 0 when all answer.
#include <quillmark/freeze_monitor.h>
#include <quillmark/pile_dispatcher.h>
#include <quillmark/resource_monitor.h>
#include <quillmark/version.h>

#include <core/async_event_bus.h>
#include <core/uuid.h>

#include <chrono>
#include <cstdio>
#include <list>

static_assert(QUILLMARK_VERSION == QUILLMARK_VERSION_MAJOR * 10000 + QUILLMARK_VERSION_MINOR * 100 +
                                       QUILLMARK_VERSION_PATCH,
              "version macros");

int main() {
  if (GetPileDispatcher() == nullptr) return 1;
  core::Uuid id;
  if (!id.IsNil()) return 2;
  core::AsyncEventBus& bus = core::GetGlobalEventBus();
  int delivered = 0;
  const int token = bus.listen<int>([&](const int& value) { delivered = value; });
  bus.queueEvent(42);
  bus.wakeCondition.notify_one();
  if (!bus.waitUntilIdle(std::chrono::seconds(30)) || delivered != 42) return 3;
  bus.unlistenAll(token);

  int resource = 0;
  resmonitor::CreateResMonitor(resmonitor::MonitorInfoStack);
  resmonitor::AddResource("Resource", &resource);
  std::list<resmonitor::ResMonitorInfo> all;
  resmonitor::GetAllResource(all);
  resmonitor::DestroyResMonitor();
  if (all.size() != 1 || all.front().callStack.rfind("Frame Resource[", 0) != 0) return 4;

  std::int64_t freeze_ms = 0;
  std::int64_t timeout_ms = 0;
  GetFreezeMonitor()->GetThresholds(freeze_ms, timeout_ms);
  if (freeze_ms != 5000 || timeout_ms != 3000) return 5;
  GetFreezeMonitor()->CreateProjLoadTracer().reset();
  // The shutdown order: the bus runs the library's queued entries before the library goes.
  if (!bus.waitUntilIdle(std::chrono::seconds(30))) return 7;

  std::puts("consumer: ok");
  return 0;
}
