#pragma once

#include <core/export.h>

namespace core {

// Sleeps for about `ms` milliseconds; zero or negative values return at once. Never throws.
CORE_API void safe_sleep_ms(int ms);

}  // namespace core
