// Normalisation of call-stack text, the way a path in automatic format reads on Windows, so that
// reports read the same on every target.
#pragma once

#include <string>

namespace resmonitor {

// Every '/' becomes '\' and every run of backslashes one backslash (a leading pair that opens a
// network name stays a pair; a stack text starts with blanks, so that never happens there).
// Ill-formed UTF-8 sequences become U+FFFD.
std::string normalize_stack_text(const std::string& utf8);

}  // namespace resmonitor
