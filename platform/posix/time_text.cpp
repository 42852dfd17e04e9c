#include "platform/time_text.h"

#include <time.h>

namespace quillmark::platform {

std::string ctime_text(std::time_t time) {
  char text[32];  // ctime_r needs 26 bytes
  if (ctime_r(&time, text) == nullptr) return "?\n";
  return text;
}

}  // namespace quillmark::platform
