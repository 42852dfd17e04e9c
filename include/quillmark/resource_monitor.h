// The resource monitor: host code registers each live resource (an object name and a pointer)
// when it creates it and removes it when it frees it. The monitor keeps a registry of what is
// alive, can record the call stack of every registration, answers queries about what is
// registered, and, while checking is on, logs what is still registered after each quiet period
// and once more when the check is stopped ("Resource leak list...", tag "resmonitor", level 4).
//
// Every function may be called from any thread at any time, concurrently, and before
// CreateResMonitor. The first call that gets past its argument checks creates the one
// process-wide monitor. Call DestroyResMonitor before the library is unloaded or the process
// exits, so that no check thread is left running then.
#pragma once

#include <quillmark/export.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <string>

namespace resmonitor {

// The monitoring level, a set of flags combined by OR (e.g. 5 = stacks + check thread). The
// value is stored unchanged; bits above 4 are kept and have no effect.
enum MonitorInfoLevel : std::uint32_t {
  MonitorInfoNone = 0,    // record nothing; as a new level it also empties the registry
  MonitorInfoStack = 1,   // record the call stack of every registration
  MonitorInfoDetail = 2,  // record stacks, and list every resource with its stack in reports
  MonitorInfoCheck = 4,   // run the check thread that writes the leak reports
};

constexpr MonitorInfoLevel operator|(MonitorInfoLevel a, MonitorInfoLevel b) {
  return static_cast<MonitorInfoLevel>(static_cast<std::uint32_t>(a) |
                                       static_cast<std::uint32_t>(b));
}

// One registered resource as the queries return it.
struct ResMonitorInfo {
  // The registered name, NUL-terminated. A name of 128 bytes or more is cut to its first 127
  // bytes (fewer when the cut would split a UTF-8 sequence); the registry itself keys by the
  // whole name.
  char objName[128] = {};
  // The registered pointer; never dereferenced.
  void* obj = nullptr;
  // The call stack of the registration as text: "Frame <name>[<pointer>]\n", then one line per
  // frame, starting at the function that called AddResource: at most 10 frames, each with the
  // line of its call. A frame whose call lies in code inlined into it is preceded by a line per
  // inlined function, innermost first, each with the line of its call: at most 8 such lines per
  // frame (the innermost of a deeper chain are left out). Paths are in the system's native form.
  // Empty when no stack was recorded.
  //
  // A frame line is one of
  //   "    <file> (<line>): <module>!<function>()\n"
  //   "    <file> (<line>): <module>!<function>() + 0x<hex> bytes\n"
  //   "    <module>!<function>()\n"
  //   "    <module>!<function>() + 0x<hex> bytes\n"
  // where <module> is the file name of the module (a DLL, a shared library or the executable),
  // "(Module name unavailable)" when no module holds the address, and <function> is "0x" and 16
  // hex digits of the address when the module has no symbol for it. Each frame keeps the module it
  // was recorded in: when that module was unloaded before the stack is first shown (or another
  // module, or another build of it, now lies at its address), the frame is resolved from the
  // module's file, read for the purpose and closed again (never loaded as code), and shows that
  // module's own names. When that file is gone, or is no longer the build that was loaded (another
  // ELF build id; another PE time stamp, image size or checksum), the frame shows the module's file
  // name and the offset of the return address in the module (upper-case hexadecimal), and never a
  // name of another module:
  //   "    <module>!+0x<hex offset> (unloaded)\n"     e.g. "    libcodec.so!+0x1A2B (unloaded)\n"
  std::string callStack;
  // When the resource was registered, seconds since 1970-01-01 UTC.
  std::time_t createTime = 0;
};

// Stores `level` and, if it has MonitorInfoCheck and no check thread runs, starts one. Never
// stops a running check thread and never empties the registry. Returns 0.
QUILLMARK_API int CreateResMonitor(MonitorInfoLevel level);

// Stops the check thread, if any (it logs its final report when the stored level still has
// MonitorInfoCheck), then releases every registered resource. The level stays: later adds
// register again at it, without a check thread. Returns 0.
QUILLMARK_API int DestroyResMonitor();

// Stores `level`, then: for 0 empties the registry as DestroyResMonitor does (no final report);
// with MonitorInfoCheck starts the check thread as CreateResMonitor does; otherwise stops a
// running check thread (no final report, since the new level is already stored).
QUILLMARK_API void SetMonitorInfoLevel(MonitorInfoLevel level);

// Registers `obj` under `objName` (name bytes compared exactly; the empty name is valid). At level
// 0 nothing is recorded. A pair that is already registered keeps its time and stack. Not
// async-signal-safe: a new name or a new call site allocates, and the registry's locks are taken
// (a handler that interrupted a registration on its own thread would wait for itself).
// Returns -1 if either argument is null (the monitor is then not created), otherwise 0.
QUILLMARK_API int AddResource(const char* objName, void* obj);

// Removes the registration of `obj` under `objName`; a pair that is not registered is ignored.
// Returns -1 if either argument is null, otherwise 0.
QUILLMARK_API int RemoveResource(const char* objName, void* obj);

// Copies the registration of `obj` under `objName` into `info`, with its call stack resolved to
// text (resolved once, then kept). Returns 0 on success; -1 if an argument is null or the pair is
// not registered, and `info` is then left untouched.
QUILLMARK_API int GetObjResource(const char* objName, void* obj, ResMonitorInfo& info);

// Appends (never clears first) copies of every registration under `objName` to `out`, in
// ascending pointer order, call stacks resolved. Returns -1 if `objName` is null, otherwise 0,
// also when nothing is registered under that name.
QUILLMARK_API int GetObjNameResource(const char* objName, std::list<ResMonitorInfo>& out);

// Appends copies of every registration to `out`: names in byte-wise order, pointers ascending
// within a name, call stacks resolved. Returns 0.
QUILLMARK_API int GetAllResource(std::list<ResMonitorInfo>& out);

// The registry's locks are held by list queries and reports only while the entries are copied
// (a pointer, a time and a stack reference each); stacks are resolved and texts built afterwards,
// so a host thread's call never waits for symbol work or text.

// The registrations of one object name that share one recorded call stack: a call site.
struct ResourceSiteInfo {
  static constexpr std::size_t kMaxExamples = 4;
  // The registered name, cut as in ResMonitorInfo.
  char objName[128] = {};
  // How many registrations the site has (at least 1).
  std::size_t count = 0;
  // The earliest registration time among them, seconds since 1970-01-01 UTC.
  std::time_t oldestCreateTime = 0;
  // The site's frame lines, as in ResMonitorInfo::callStack but without the "Frame" header line
  // (a site has many pointers). Empty for the registrations of the name made without a stack,
  // which form one site per name.
  std::string callStack;
  // The lowest `exampleCount` pointers of the site, ascending.
  void* examples[kMaxExamples] = {};
  std::size_t exampleCount = 0;
};

// Appends one record per call site of the whole registry to `out` (never clears first): sorted by
// count, largest first, then by name (byte-wise), then by stack text. Stacks of one name whose
// frame lines are equal form one site. Returns 0.
QUILLMARK_API int GetResourceSites(std::list<ResourceSiteInfo>& out);

}  // namespace resmonitor

// Leak reports grouped by call site, for detailed reports (level with MonitorInfoDetail); off by
// default, and the count form is never affected. While on, each report lists every call site once,
// in the order of GetResourceSites, instead of every resource, and ends with a summary line:
//
//   "\n[<i>] [<name>] count:<count> oldest: <ctime text of the oldest registration>"
//   then the site's frame lines (as in ResMonitorInfo::callStack, normalised as the detailed form
//   normalises them), for i = 0, 1, ... over all sites; then
//   "\nTotal: <resources> resources, <sites> sites, <names> names"
//
// (the ctime text ends with a newline; a name too long for the 128-byte line is cut and marked
// with "...", as in the count form). Returns the previous setting. Thread-safe; the next report
// uses it.
QUILLMARK_C_API bool SetLeakReportGroupedBySite(bool enabled);

// Also writes the final leak report (the check thread's last one, written whenever the level has
// MonitorInfoCheck when it stops, also when nothing is left) as JSON to `path` (UTF-8). Null or
// empty turns it off; then the environment variable QUILLMARK_LEAK_REPORT, read at each final
// report, names the path if it is set. The file is written to "<path>.tmp" first and renamed over
// `path`, so a reader never sees half a file. A path that cannot be written gives one warning on
// standard output and to the debugger, and nothing else changes. Returns true. Thread-safe.
//
// Content (schema version 1), sites in the order of GetResourceSites:
//   {"format": "quillmark-leak-report", "version": 1,
//    "totals": {"resources": R, "sites": S, "names": N},
//    "sites": [{"name": "...", "count": C, "oldest": <seconds since 1970>,
//               "examples": ["0x<16 hex digits>", ...],
//               "frames": [{"module": "...", "offset": <from the module's load address>,
//                           "function": "..." ("" for an unloaded frame without its file),
//                           "file": "..." or "", "line": L or 0,
//                           "inlined": true|false}, ...]}, ...]}
// Strings are UTF-8; bytes of a name that are not UTF-8 are written as U+FFFD. "frames" is empty
// for a site without a stack, and for every site when the report is made while the library is
// being unloaded (stacks cannot be resolved then).
QUILLMARK_C_API bool SetLeakReportFile(const char* path);
