#include <core/log.h>

#include "callstack/stack_text.h"
#include "resmonitor/registry.h"
#include "resmonitor/report_text.h"

namespace resmonitor {
namespace {

constexpr const char* kLogTag = "resmonitor";
constexpr int kLogLevel = 4;
constexpr const char* kThreadName = "resmonitor::ResourceMonitor::check_loop";
// A little over five seconds of quiet after the last change before a report, so that a burst of
// registrations gives one report rather than many.
constexpr std::int64_t kQuietPeriodUs = 5001000;

bool checking(MonitorInfoLevel level) { return (level & MonitorInfoCheck) != 0; }

// The count form (one line per name) or the detailed form (every entry with its time and stack).
void append_group(std::string& report, const std::string& name,
                  const std::list<ResMonitorInfo>& copies, MonitorInfoLevel form) {
  if ((form & MonitorInfoDetail) == 0) {
    if (!copies.empty()) report += count_line(name, static_cast<int>(copies.size()));
    return;
  }
  int index = 0;
  for (const ResMonitorInfo& copy : copies) {
    report += detail_line(index++, copy.createTime);
    if (!copy.callStack.empty()) report += normalize_stack_text(copy.callStack);
  }
}

}  // namespace

void ResourceMonitor::check_loop() {
  check_thread_id.store(std::this_thread::get_id());
  CoreLogPrint(kLogTag, kLogLevel, "%s start check dbg...", kThreadName);
  std::int64_t last_reported_us = 0;
  while (!stop_requested.load()) {
    const std::int64_t changed_us = last_change_us.load();
    if (last_reported_us != changed_us && timing->now_us() - changed_us >= kQuietPeriodUs &&
        checking(level.load())) {
      const std::string report = build_report();
      if (!report.empty()) CoreLogPrint(kLogTag, kLogLevel, "%s", report.c_str());
      // A change stamped while the report was built counts as reported too.
      last_reported_us = last_change_us.load();
    }
    timing->wait_between_passes(wake, stop_requested);
  }
  // While the monitor is torn down (an unload, or exit without DestroyResMonitor) stacks are not
  // resolved: the loader's lock that resolution may need can be held by the unloading thread,
  // which waits for this one. Every entry is still counted.
  const MonitorInfoLevel current = level.load();
  const std::string report = build_report(
      tearing_down.load() ? static_cast<MonitorInfoLevel>(current & ~MonitorInfoDetail) : current);
  if (!report.empty() && checking(level.load())) {
    CoreLogPrint(kLogTag, kLogLevel, "Resource leak list%s", report.c_str());
  }
  CoreLogPrint(kLogTag, kLogLevel, "%s end check dbg", kThreadName);
  check_thread_id.store(std::thread::id());
}

std::string ResourceMonitor::build_report() { return build_report(level.load()); }

std::string ResourceMonitor::build_report(MonitorInfoLevel form) {
  std::string report;
  GroupSnapshots parts;
  snapshot_groups(parts);
  for (auto& [name, part] : parts) {
    // Only the detailed form shows stacks; the count form needs no resolution.
    if ((form & MonitorInfoDetail) != 0) part.resolve_texts();
    append_group(report, part.name, part.copies, form);
  }
  return report;
}

}  // namespace resmonitor
