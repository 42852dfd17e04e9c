// The lock of the subsystem's process-wide resolution state: the symbol handler's start-up, the
// once-only noting of the process's modules, the frame-line caches and buffer and the Debug Help
// look-ups, which are not safe to run from two threads at once. Reading a module's symbols ahead
// of the look-ups (DebugHelp::load_modules_at) is done with it released.
#pragma once

#include <mutex>

namespace resmonitor {

// Taken by every entry point that starts the symbol handler or resolves frames. Lock order: after
// the freeze monitor's records_mutex, before any lock of a CStackInfo; never taken with the
// resource monitor's registry or group locks held (queries resolve outside them), and nothing that
// runs under it calls back into the host.
std::mutex& resolution_mutex();

}  // namespace resmonitor
