// Logging of the host's base library.
#pragma once

#include <core/export.h>

extern "C" {

// Formats a printf-style message and hands one record to the current log sink.
// `module` is the tag of the calling component; a null tag or format is logged as "".
// Messages longer than core::kMaxLogMessage bytes are cut. Returns the number of bytes handed
// to the sink. Thread-safe.
CORE_API int CoreLogPrint(const char* module, int level, const char* format, ...);

// The same with a named logger. `context`, `extra` and `line` are accepted for the host's own
// loggers and not interpreted by this stand-in.
CORE_API int CoreLogPrintLog(const char* logger, int level, const char* module, const void* context,
                             const void* extra, int line, const char* format, ...);
}

namespace core {

// Longest message text a log call hands to the sink, in bytes; longer ones are cut.
inline constexpr int kMaxLogMessage = 65535;

// One formatted log call. The pointers are valid only during the sink call; none is null.
struct LogRecord {
  const char* logger;  // "" for CoreLogPrint
  int level;
  const char* module;
  const char* text;
};

using LogSink = void (*)(const LogRecord& record, void* context);

// Installs the process-wide sink; a null sink restores the default, which writes one line per
// record to stderr: time, level, tag and text. Records reach the sink one at a time, from any
// thread, under one lock: a sink must not log itself.
CORE_API void SetLogSink(LogSink sink, void* context);

}  // namespace core
