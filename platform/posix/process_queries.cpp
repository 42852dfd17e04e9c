#include "platform/posix/process_queries.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/posix/wide_text.h"

namespace quillmark::platform::posix {

namespace {

bool debugger_attached() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::atol(line.c_str() + 10) != 0;
  }
  return false;
}

}  // namespace

std::uint32_t environment_variable(const wchar_t* name, wchar_t* buffer, std::uint32_t size) {
  const char* value = std::getenv(to_utf8(name).c_str());
  if (value == nullptr) return 0;
  const std::wstring wide = to_wide(value);
  const auto needed = static_cast<std::uint32_t>(wide.size() + 1);
  if (buffer == nullptr || size < needed) return needed;
  return copy_out(wide, buffer, size);
}

void debug_output(const wchar_t* text) {
  if (!debugger_attached()) return;
  std::fputs(to_utf8(text).c_str(), stderr);
}

}  // namespace quillmark::platform::posix
