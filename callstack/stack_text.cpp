#include "callstack/stack_text.h"

#include "callstack/path_text.h"

namespace resmonitor {

std::string normalize_stack_text(const std::string& utf8) {
  return path_text::to_utf8(path_text::normalize_native(path_text::from_utf8(utf8)));
}

}  // namespace resmonitor
