// The one process-wide ResourceMonitor behind the exported functions.
#pragma once

#include "resmonitor/registry.h"

namespace resmonitor::detail {

// The instance, created on first use (std::call_once). Never null.
ResourceMonitor* monitor_instance();

// Whether the instance has been created; for tests of the first use.
bool monitor_created();

}  // namespace resmonitor::detail
