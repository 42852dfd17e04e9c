#include <core/sleep.h>

#include <chrono>
#include <thread>

namespace core {

void safe_sleep_ms(int ms) {
  if (ms <= 0) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace core
