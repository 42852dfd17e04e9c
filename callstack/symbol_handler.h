// Start-up of the symbol handler for a CStackInfo, with the search path it uses, and the sink of
// the subsystem's own diagnostic message.
#pragma once

#include <memory>

#include "callstack/cstack_info.h"

namespace resmonitor {

// Starts the symbol handler for `info` once (under info.init_mutex): sets info.process, the
// handler's options and its search path. A failed start is reported through report_message() and
// the record is marked ready all the same. The registry calls it while making a new name's group,
// without its own locks.
void init_symbol_handler(CStackInfo& info);
// For a further record of a name whose handler init_symbol_handler started already: takes the
// process without starting the handler again (which would report a failure a second time).
void share_symbol_handler(CStackInfo& info);

// The symbol search path, each entry followed by ';': the executable's folder, its "..\pdb" and
// "SymbolTable" folders, the symbol-path environment variables that are set, and the debugger's
// symbol caches from the registry, with every double quote removed. NUL-terminated.
std::unique_ptr<wchar_t[]> build_symbol_search_path();

// printf-style wide message to standard output (in the C locale's multibyte encoding) and to the
// debugger. A message longer than 511 characters, or one the locale cannot encode, is dropped
// without a trace.
void report_message(const wchar_t* format, ...);

}  // namespace resmonitor
