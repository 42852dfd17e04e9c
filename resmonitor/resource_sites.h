// Registrations grouped by call site: one record per object name and recorded stack, for the
// grouped query, the grouped report and the leak file.
#pragma once

#include <quillmark/resource_monitor.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include "resmonitor/registry_snapshot.h"

namespace resmonitor {

struct ResourceSite {
  const RegistrySnapshot::Group* group;  // the name
  CStackInfo* store;                     // the store of `stack`; null with it
  PooledStack* stack;                    // the site's stack (one of equal ones); null: none
  std::string frames;                    // the stack's frame lines; empty without a stack
  std::size_t count = 0;
  std::time_t oldest = 0;
  std::size_t example_count = 0;
  void* examples[ResourceSiteInfo::kMaxExamples] = {};  // the lowest pointers, ascending
};

// The sites of every entry of `snapshot` (finished, sorted or not): entries of one name whose
// stacks have the same return addresses form one site (stacks are pooled per lane of registering
// threads, so equal stacks may come from several pools); entries without a stack form one site per
// name. Sorted by count, largest first, then name (byte-wise), then frame text. With `with_text`
// each site's stack is resolved (once per distinct stack, no registry lock held); without, `frames`
// stays empty and sites of equal count and name are ordered by their addresses.
std::vector<ResourceSite> group_by_site(const RegistrySnapshot& snapshot, bool with_text = true);

// Whether detailed reports list sites (SetLeakReportGroupedBySite).
bool leak_report_grouped();

}  // namespace resmonitor
