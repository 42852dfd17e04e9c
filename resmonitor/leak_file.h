// The final leak report as a JSON file, for tools that fail a run on leaks (see
// SetLeakReportFile for the format).
#pragma once

#include <string>
#include <vector>

#include "resmonitor/registry_snapshot.h"
#include "resmonitor/resource_sites.h"

namespace resmonitor {

// The path set by SetLeakReportFile, else the value of QUILLMARK_LEAK_REPORT; empty: none.
std::string leak_file_path();

// The JSON text of `sites` of `snapshot`. `with_frames` false leaves every site's frames empty
// (no symbol work).
std::string leak_file_json(const RegistrySnapshot& snapshot, const std::vector<ResourceSite>& sites,
                           bool with_frames);

// Writes the leak file of `snapshot` to leak_file_path(), if one is named. A failure gives one
// warning (standard output and the debugger) and nothing else.
void write_leak_file(const RegistrySnapshot& snapshot, bool with_frames);

}  // namespace resmonitor
