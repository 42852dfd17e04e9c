// Stack capture with libgcc's unwinder (_Unwind_Backtrace), the same one C++ exceptions use, so
// nothing here can take over the host's exception unwinding.
#pragma once

#include <cstdint>

namespace quillmark::platform::posix {

// Writes the return addresses of the calling thread into `back_trace`, innermost first, entry 0
// being the one inside the caller of this function once `frames_to_skip` entries are left out;
// at most `capacity` entries. Returns how many were written.
std::uint32_t unwind_back_trace(std::uint32_t frames_to_skip, std::uint32_t capacity,
                                std::uint64_t* back_trace);

// FNV-1a over the bytes of the addresses: the 32-bit hash of a back-trace.
std::uint32_t back_trace_hash(const std::uint64_t* back_trace, std::uint32_t count);

}  // namespace quillmark::platform::posix
