// What the symbol search path and the warning channel ask of the process on Linux.
#pragma once

#include <cstdint>

namespace quillmark::platform::posix {

// An environment variable, with the Windows call's contract: with `buffer` null and `size` 0 the
// size the value needs including its terminator, 0 when unset; otherwise the value's length when
// it was read into `buffer`, else the size it needs.
std::uint32_t environment_variable(const wchar_t* name, wchar_t* buffer, std::uint32_t size);

// Linux has no debugger channel. The text goes to standard error while a debugger (a tracer, as
// /proc/self/status reports it) is attached, and nowhere otherwise, just as Windows shows it only
// in an attached debugger.
void debug_output(const wchar_t* text);

}  // namespace quillmark::platform::posix
