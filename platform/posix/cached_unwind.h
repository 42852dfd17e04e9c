// Stack capture with the rules of UnwindRuleCache: each frame costs a table look-up and two
// reads of the stack, where a general unwinder reads and interprets the module's unwind table
// (or its own cache of it) for every frame.
#pragma once

#include <cstdint>

namespace quillmark::platform::posix {

// Writes the calling thread's return addresses into `frames`, at most `capacity`, after leaving
// out the first `to_skip`: with none left out, frames[0] is the return address inside the
// function that called cached_unwind. Returns how many were
// written, or 0 when a frame on the way has a shape the cache does not keep (signal frames,
// realigned stacks, code without unwind data) or does not unwind towards the stack's base:
// the caller then takes the stack with a general unwinder. Not async-signal-safe where a miss
// reads an unwind table (the loader's lock).
std::uint32_t cached_unwind(std::uint64_t* frames, std::uint32_t capacity, std::uint32_t to_skip);

}  // namespace quillmark::platform::posix
