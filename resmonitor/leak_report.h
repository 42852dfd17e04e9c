// The text of a leak report, built from a registry snapshot with no registry lock held.
#pragma once

#include <quillmark/resource_monitor.h>

#include <string>

#include "resmonitor/registry_snapshot.h"

namespace resmonitor {

// The count form (one "\n[<name>] count:<n>" line per name) unless `form` has MonitorInfoDetail;
// then every entry with its time and stack, or, when `grouped`, every call site with its count
// and a summary line (see SetLeakReportGroupedBySite). Empty for an empty snapshot.
std::string leak_report_text(const RegistrySnapshot& snapshot, MonitorInfoLevel form, bool grouped);

}  // namespace resmonitor
