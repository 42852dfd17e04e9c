// The text of a recorded stack, as queries and the leak report show it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "callstack/cstack_info.h"

namespace resmonitor {

// The header line "Frame <name>[<pointer as 16 upper-case hex digits>]\n" followed by the
// resolved frames of `ptr`'s stack, normalised as a path in the system's native form (see
// path_text::normalize_native) and in UTF-8. The first call in the
// process that finds a recorded stack notes the process's modules with the symbol handler. Holds
// the process-wide resolution lock, then info.stacks_mutex; the symbols of the modules of frames
// not resolved before are read with neither held (see describe_pooled_stack).
//
// The header is built in a 128-byte scratch buffer, which fits an object name of up to 102 bytes;
// a longer name is cut to what fits (the line still ends in "]\n" with the whole pointer).
// A pointer without a recorded stack gives the header line alone.
std::string describe_stack(CStackInfo& info, void* ptr);

// The same text for a registration of `ptr` under `name` whose stack is `stack`, pooled in
// `info`: the header line, then the stack's frame lines, resolved at the first call for that
// stack and reused by every later one. The caller keeps a reference on `stack` and holds none of
// the registry's locks: only the process-wide resolution lock is taken, never while a module's
// symbols and debug information are read (which may take seconds for a large or remote debug
// file): that waits only for the module itself, so a slow module stalls the resolutions of stacks
// with frames in it, never other resolutions, nor registrations.
std::string describe_pooled_stack(CStackInfo& info, const std::string& name, void* ptr,
                                  PooledStack& stack);

// While one lives, the files of unloaded modules that resolutions open stay open (each
// resolution otherwise closes them as it ends), so that a report resolving many stacks of one
// unloaded module reads its file once. Takes the resolution lock briefly; hold none of the
// registry's locks.
class ModuleFilesScope {
 public:
  ModuleFilesScope();
  ~ModuleFilesScope();
  ModuleFilesScope(const ModuleFilesScope&) = delete;
  ModuleFilesScope& operator=(const ModuleFilesScope&) = delete;
};

// The header line describe_pooled_stack() starts with.
std::string stack_header(const std::string& name, void* ptr);

// The frame lines of `stack` alone, without a header: what describe_pooled_stack() appends to
// it. Same locks and caching.
std::string describe_pooled_frames(CStackInfo& info, PooledStack& stack);

// One shown line of a recorded stack as fields (see FrameFields).
using FrameRecord = ::FrameFields;

// The shown lines of `stack` as fields, in the order of its text. Looked up anew at each call:
// meant for a report written once, not for queries.
std::vector<FrameRecord> describe_pooled_frame_records(CStackInfo& info, PooledStack& stack);

}  // namespace resmonitor
