// A small host application that loads quillmark and exercises its services.
#include <quillmark/pile_dispatcher.h>

#include <core/async_event_bus.h>
#include <core/log.h>

#include <chrono>
#include <cstdio>

namespace {

struct ProjectOpened {
  const char* name;
};

void show_event_bus() {
  core::AsyncEventBus& bus = core::GetGlobalEventBus();
  const int token = bus.listen<ProjectOpened>(
      [](const ProjectOpened& event) { std::printf("listener: project %s opened\n", event.name); });
  bus.queueEvent(ProjectOpened{"holiday.qmproj"});
  bus.wakeCondition.notify_one();
  bus.waitUntilIdle(std::chrono::seconds(5));
  bus.unlistenAll(token);
  bus.waitUntilIdle(std::chrono::seconds(5));
}

}  // namespace

int main() {
  std::printf("quillmark demo host\n");
  CoreLogPrint("demo", 4, "%s", "host started");
  std::printf("pile dispatcher: %s\n", GetPileDispatcher() ? "default installed" : "missing");
  show_event_bus();
  return 0;
}
