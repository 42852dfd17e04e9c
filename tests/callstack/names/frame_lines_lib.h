// Host code for the frame-line tests, built with -O2 into a library of its own whose source file
// name is recorded relative to its compilation directory. Each function calls `callback` from code
// whose names or lines are hard to read back, and notes the line of that call in `line`.
#pragma once

#define QM_SAMPLE_API __attribute__((visibility("default")))

namespace frame_lines {

using Callback = void (*)();

// The call lies in the part GCC splits off as "run_cold.cold".
QM_SAMPLE_API int run_cold(Callback callback, int value, int& line);
// The call is the function's first statement: its row and the function's opening line share the
// call's address. Returns the line of the call.
QM_SAMPLE_API int run_first_statement(Callback callback);
// The call lies in a generic lambda inlined into its caller: the lambda's opening line and the
// call's line share the call's address.
QM_SAMPLE_API int run_generic_lambda(Callback callback, int& line);
// The call lies in a lambda called through std::function, whose handler is inlined without a
// linkage name.
QM_SAMPLE_API int run_through_function(Callback callback, int& line);
// A function whose symbol the demangler cannot read.
QM_SAMPLE_API int run_unreadable(Callback callback,
                                 int& line) __asm__("_ZN11frame_lines14run_unreadableXX");

}  // namespace frame_lines
