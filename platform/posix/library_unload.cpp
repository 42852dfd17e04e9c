#include "platform/posix/library_unload.h"

#include <atomic>

namespace quillmark::platform::posix {

namespace {

// Which of the two teardowns was noticed first; the other notice then changes nothing.
enum Teardown { kNone, kUnload, kExit };
std::atomic<int> g_teardown{kNone};

void notice(Teardown teardown) {
  int expected = kNone;
  g_teardown.compare_exchange_strong(expected, teardown);
}

// An unload runs it before every static destructor of the library; an exit runs it after those
// that were put on the exit list once the program ran, the exit notice among them.
__attribute__((destructor)) void notice_unload() { notice(kUnload); }

// Put on the exit list, tied to this library, once the program runs: an exit runs it before the
// destructor function above, an unload after it.
struct ExitNotice {
  ~ExitNotice() { notice(kExit); }
};

}  // namespace

void watch_for_exit() { static ExitNotice exit_notice; }

bool library_is_unloading() { return g_teardown.load() == kUnload; }

}  // namespace quillmark::platform::posix
