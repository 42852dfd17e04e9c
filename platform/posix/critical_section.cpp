// The symbol lock on Linux: a recursive mutex, as a Windows critical section is recursive.
#include <mutex>

#include "platform/debug_help.h"

namespace quillmark::platform {

CriticalSection::CriticalSection() : native_(new std::recursive_mutex()) {}

CriticalSection::~CriticalSection() { delete static_cast<std::recursive_mutex*>(native_); }

void CriticalSection::enter() { static_cast<std::recursive_mutex*>(native_)->lock(); }

void CriticalSection::leave() { static_cast<std::recursive_mutex*>(native_)->unlock(); }

}  // namespace quillmark::platform
