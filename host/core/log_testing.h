// Test seams of the base library's logging.
#pragma once

#include <core/log.h>

#include <cstddef>

namespace core::detail {

using RecordObserver = void (*)(const LogRecord& record);

// Lets a test know that a thread has a record ready and is about to wait for the sink's lock, so
// that it can order that thread against a sink running on another thread without sleeping.
// Called on the logging thread with each formatted record right before the call waits for the
// sink's lock; null (the default) for none. Set it before any thread logs.
CORE_API void set_record_observer(RecordObserver observer);

// Makes every message longer than `bytes` behave as one whose memory could not be had: its text
// is cut to at most `bytes` bytes and ends with the marker. 0 (the default) for no bound.
CORE_API void set_record_bound(std::size_t bytes);

}  // namespace core::detail
