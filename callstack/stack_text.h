// Normalisation of call-stack text as a path in the native form of the system, as the leak report
// appends it.
#pragma once

#include <string>

namespace resmonitor {

// On Windows every '/' becomes '\' and every run of backslashes one backslash; on other systems
// every run of '/' becomes one and backslashes stay (a leading pair that opens a network name
// stays a pair; a stack text starts with blanks, so that never happens there). Ill-formed UTF-8
// sequences become U+FFFD.
std::string normalize_stack_text(const std::string& utf8);

}  // namespace resmonitor
