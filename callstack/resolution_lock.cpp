#include "callstack/resolution_lock.h"

namespace resmonitor {

std::mutex& resolution_mutex() {
  // Never destroyed: a resolution may still run on a thread the host leaves behind at exit.
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

}  // namespace resmonitor
