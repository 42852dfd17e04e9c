#include "platform/time_text.h"

#include <time.h>

namespace quillmark::platform {

std::string ctime_text(std::time_t time) {
  char text[32];  // _ctime64_s needs 26 bytes
  const __time64_t time64 = time;
  if (_ctime64_s(text, sizeof text, &time64) != 0) return "?\n";
  return text;
}

}  // namespace quillmark::platform
