// A slim reader/writer lock taken exclusively: it spins briefly before it waits, needs no
// clean-up and cannot fail to initialise.
#include "platform/short_lock.h"

#include <windows.h>

namespace quillmark::platform {

namespace {

SRWLOCK& native(unsigned char* storage) { return *reinterpret_cast<SRWLOCK*>(storage); }

}  // namespace

ShortLock::ShortLock() {
  static_assert(sizeof(SRWLOCK) <= sizeof native_, "room for the lock");
  InitializeSRWLock(&native(native_));
}

ShortLock::~ShortLock() = default;

void ShortLock::lock() { AcquireSRWLockExclusive(&native(native_)); }

bool ShortLock::try_lock() { return TryAcquireSRWLockExclusive(&native(native_)) != 0; }

void ShortLock::unlock() { ReleaseSRWLockExclusive(&native(native_)); }

}  // namespace quillmark::platform
