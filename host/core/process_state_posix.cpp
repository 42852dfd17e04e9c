#include <pthread.h>

#include <atomic>

#include "process_state.h"

namespace core::detail {
namespace {

// A child of fork() has only the thread that forked: the dispatch thread of its copy of the bus
// is its parent's and cannot be joined here.
std::atomic<bool> g_forked_child{false};

void note_forked_child() { g_forked_child.store(true); }

const bool g_fork_noted = pthread_atfork(nullptr, nullptr, &note_forked_child) == 0;

}  // namespace

bool other_threads_are_gone() { return g_forked_child.load(); }

void hold_across_fork(void (*lock)(), void (*unlock)()) { pthread_atfork(lock, unlock, unlock); }

}  // namespace core::detail
