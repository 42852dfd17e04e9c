// A test seam of the base library's logging: lets a test know that a thread has a record ready
// and is about to wait for the sink's lock, so that it can order that thread against a sink
// running on another thread without sleeping.
#pragma once

#include <core/log.h>

namespace core::detail {

using RecordObserver = void (*)(const LogRecord& record);

// Called on the logging thread with each formatted record right before the call waits for the
// sink's lock; null (the default) for none. Set it before any thread logs.
CORE_API void set_record_observer(RecordObserver observer);

}  // namespace core::detail
