#include <core/log.h>

#include "resmonitor/leak_file.h"
#include "resmonitor/leak_report.h"
#include "resmonitor/registry.h"
#include "resmonitor/resource_sites.h"

namespace resmonitor {
namespace {

constexpr const char* kLogTag = "resmonitor";
constexpr int kLogLevel = 4;
constexpr const char* kThreadName = "resmonitor::ResourceMonitor::check_loop";
// A little over five seconds of quiet after the last change before a report, so that a burst of
// registrations gives one report rather than many.
constexpr std::int64_t kQuietPeriodUs = 5001000;

bool checking(MonitorInfoLevel level) { return (level & MonitorInfoCheck) != 0; }

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
  const bool resolve = !tearing_down.load();
  const MonitorInfoLevel current = level.load();
  RegistrySnapshot snapshot;
  take_snapshot(snapshot);
  const std::string report = leak_report_text(
      snapshot, resolve ? current : static_cast<MonitorInfoLevel>(current & ~MonitorInfoDetail),
      leak_report_grouped());
  if (checking(level.load())) {
    if (!report.empty()) CoreLogPrint(kLogTag, kLogLevel, "Resource leak list%s", report.c_str());
    write_leak_file(snapshot, resolve);
  }
  CoreLogPrint(kLogTag, kLogLevel, "%s end check dbg", kThreadName);
  check_thread_id.store(std::thread::id());
}

std::string ResourceMonitor::build_report() { return build_report(level.load()); }

std::string ResourceMonitor::build_report(MonitorInfoLevel form) {
  RegistrySnapshot snapshot;
  take_snapshot(snapshot);
  return leak_report_text(snapshot, form, leak_report_grouped());
}

}  // namespace resmonitor
