// The inlined calls that the DWARF reader found at an address, as the symbol handler answers them
// on both systems: each call's function, and its call site as the line of the frame outside it.
#pragma once

#include <cstddef>
#include <vector>

#include "debuginfo/dwarf_resolver.h"
#include "platform/debug_help.h"

namespace quillmark::platform {

inline void show_inlined_calls(const std::vector<debuginfo::InlinedCall>& calls,
                               AddressSymbols& symbols) {
  symbols.inlined.resize(calls.size());
  for (std::size_t depth = 0; depth < calls.size(); ++depth) {
    symbols.inlined[depth].has_name = !calls[depth].function.empty();
    symbols.inlined[depth].name = calls[depth].function;
    ShownFunction& caller =
        depth + 1 < calls.size() ? symbols.inlined[depth + 1] : symbols.function;
    caller.has_line = !calls[depth].call_file.empty();
    caller.file = calls[depth].call_file;
    caller.line = calls[depth].call_line;
  }
}

}  // namespace quillmark::platform
