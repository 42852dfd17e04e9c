#include "resmonitor/report_text.h"

#include <cstdio>
#include <cstring>

#include "platform/time_text.h"

namespace resmonitor {
namespace {

constexpr char kCutMarker[] = "...";
constexpr std::size_t kCutMarkerLength = sizeof kCutMarker - 1;

bool is_utf8_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

std::size_t utf8_prefix_length(const char* text, std::size_t length, std::size_t limit) {
  if (length <= limit) return length;
  // A cut before a continuation byte splits a sequence: back up to its lead byte (a sequence
  // has at most three continuation bytes; beyond that the bytes are not UTF-8 anyway).
  std::size_t cut = limit;
  for (int steps = 0; steps < 3 && cut > 0 && is_utf8_continuation(text[cut]); ++steps) --cut;
  return is_utf8_continuation(text[cut]) ? limit : cut;
}

void copy_object_name(const char* name, char (&field)[128]) {
  copy_object_name(name, std::strlen(name), field);
}

void copy_object_name(const char* name, std::size_t length, char (&field)[128]) {
  const std::size_t kept = utf8_prefix_length(name, length, sizeof field - 1);
  std::memcpy(field, name, kept);
  std::memset(field + kept, 0, sizeof field - kept);
}

std::string count_line(const std::string& name, int count) {
  char line[kReportLineBuffer];
  const int needed = std::snprintf(line, sizeof line, "\n[%s] count:%d", name.c_str(), count);
  if (needed >= 0 && static_cast<std::size_t>(needed) < sizeof line) return line;

  // Too long: keep the head of the name, mark the cut, and fill the buffer exactly.
  char digits[16];
  const int digit_count = std::snprintf(digits, sizeof digits, "%d", count);
  const std::size_t frame = std::strlen("\n[] count:") + static_cast<std::size_t>(digit_count);
  const std::size_t room = sizeof line - 1 - frame - kCutMarkerLength;
  const std::size_t kept = utf8_prefix_length(name.data(), name.size(), room);
  return "\n[" + name.substr(0, kept) + kCutMarker + "] count:" + digits;
}

std::string detail_line(int index, std::time_t created) {
  const std::string when = quillmark::platform::ctime_text(created);
  char line[kReportLineBuffer];
  std::snprintf(line, sizeof line, "\n[%d] %s", index, when.c_str());
  return line;
}

}  // namespace resmonitor
