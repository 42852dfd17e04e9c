// Logging of the host's base library.
#pragma once

#include <core/export.h>

extern "C" {

// Formats a printf-style message and hands one record to the current log sink.
// `module` is the tag of the calling component; a null tag or format is logged as "".
// A message of any length is handed over whole. Only when the memory for a long message cannot
// be had is its text cut: it then holds the message's first bytes (never cut inside a UTF-8
// sequence) and ends with the marker "[... N bytes left out]", N being the number of the
// message's bytes that are missing. Returns the number of bytes handed to the sink (the length
// of the record's text). Thread-safe.
CORE_API int CoreLogPrint(const char* module, int level, const char* format, ...);

// The same with a named logger. `context`, `extra` and `line` are accepted for the host's own
// loggers and not interpreted by this stand-in.
CORE_API int CoreLogPrintLog(const char* logger, int level, const char* module, const void* context,
                             const void* extra, int line, const char* format, ...);
}

namespace core {

// One formatted log call. The pointers are valid only during the sink call; none is null.
struct LogRecord {
  const char* logger;  // "" for CoreLogPrint
  int level;
  const char* module;
  const char* text;
};

using LogSink = void (*)(const LogRecord& record, void* context);

// Installs the process-wide sink; a null sink restores the default, which writes one line per
// record to stderr, the text whole: time, level, tag and text. Records reach the sink one at a
// time, from any thread, under one lock.
// A log call made on a thread that is already inside the sink (the sink logging itself, or exit
// handlers that run because the sink ended the process) does not wait for that lock, which its
// own thread holds: its record goes to the default writer (stderr) instead, and the sink is not
// entered again. Likewise SetLogSink called from inside the sink takes effect at once.
CORE_API void SetLogSink(LogSink sink, void* context);

}  // namespace core
