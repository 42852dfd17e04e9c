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

// `head` + "[" + name + "]" + `tail`, within kReportLineBuffer - 1 bytes: a name that does not
// fit is cut (by utf8_prefix_length) and ends in "...".
std::string line_with_name(const std::string& head, const std::string& name,
                           const std::string& tail) {
  const std::size_t frame = head.size() + 2 + tail.size();
  const std::size_t limit = kReportLineBuffer - 1;
  // A name stops at an embedded terminator, as the C string of the formatted line would.
  const std::string whole = name.substr(0, std::strlen(name.c_str()));
  if (frame + whole.size() <= limit) return head + "[" + whole + "]" + tail;
  const std::size_t room = limit > frame + kCutMarkerLength ? limit - frame - kCutMarkerLength : 0;
  const std::size_t kept = utf8_prefix_length(whole.data(), whole.size(), room);
  return head + "[" + whole.substr(0, kept) + kCutMarker + "]" + tail;
}

std::string count_line(const std::string& name, int count) {
  return line_with_name("\n", name, " count:" + std::to_string(count));
}

std::string site_line(int index, const std::string& name, std::size_t count, std::time_t oldest) {
  return line_with_name(
      "\n[" + std::to_string(index) + "] ", name,
      " count:" + std::to_string(count) + " oldest: " + quillmark::platform::ctime_text(oldest));
}

std::string summary_line(std::size_t resources, std::size_t sites, std::size_t names) {
  return "\nTotal: " + std::to_string(resources) + " resources, " + std::to_string(sites) +
         " sites, " + std::to_string(names) + " names";
}

std::string detail_line(int index, std::time_t created) {
  const std::string when = quillmark::platform::ctime_text(created);
  char line[kReportLineBuffer];
  std::snprintf(line, sizeof line, "\n[%d] %s", index, when.c_str());
  return line;
}

}  // namespace resmonitor
