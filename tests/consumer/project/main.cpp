// Touches each service through the installed headers and libraries; exits 0 when all answer.
#include <quillmark/pile_dispatcher.h>

#include <core/async_event_bus.h>
#include <core/uuid.h>

#include <chrono>
#include <cstdio>

int main() {
  if (GetPileDispatcher() == nullptr) return 1;
  core::Uuid id;
  if (!id.IsNil()) return 2;
  core::AsyncEventBus& bus = core::GetGlobalEventBus();
  int delivered = 0;
  bus.listen<int>([&](const int& value) { delivered = value; });
  bus.queueEvent(42);
  bus.wakeCondition.notify_one();
  if (!bus.waitUntilIdle(std::chrono::seconds(30)) || delivered != 42) return 3;
  std::puts("consumer: ok");
  return 0;
}
