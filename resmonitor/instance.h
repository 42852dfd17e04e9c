// The one process-wide ResourceMonitor behind the exported functions.
#pragma once

#include "resmonitor/registry.h"

namespace resmonitor::detail {

// The instance, created on first use (std::call_once). Never null.
ResourceMonitor* monitor_instance();

// Whether the instance has been created; for tests of the first use.
bool monitor_created();

// Keeps `monitor` (null: none) consistent across fork(): its locks are free in the child and the
// child does not wait for the parent's check thread.
void guard_across_fork(ResourceMonitor* monitor);

}  // namespace resmonitor::detail
