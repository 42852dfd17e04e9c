#include "platform/posix/library_unload.h"

#include <atomic>

namespace quillmark::platform::posix {

namespace {

std::atomic<bool> unloading{false};

__attribute__((destructor)) void note_unloading() { unloading.store(true); }

}  // namespace

bool library_is_unloading() { return unloading.load(); }

}  // namespace quillmark::platform::posix
