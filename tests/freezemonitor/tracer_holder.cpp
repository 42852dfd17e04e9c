// A library that keeps whatever it is handed until it is torn down itself. Loaded before the
// freeze monitor's library, it is torn down after it, so a tracer it keeps outlives the monitor.
#include <core/sleep.h>

#include <memory>

#if defined(_WIN32)
#define HOLDER_API extern "C" __declspec(dllexport)
#else
#define HOLDER_API extern "C" __attribute__((visibility("default")))
#endif

namespace {
std::shared_ptr<void> g_held;
}  // namespace

HOLDER_API void HoldUntilTeardown(const std::shared_ptr<void>* object) {
  // Using the base library makes it a dependency, so it is torn down after this one.
  core::safe_sleep_ms(0);
  g_held = *object;
}
