// Text pieces of the registry and its leak report, kept within their fixed buffers.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace resmonitor {

// Every report line is formatted as in a buffer of this many bytes, terminator included.
inline constexpr std::size_t kReportLineBuffer = 128;

// The length of the longest prefix of `text` (`length` bytes) that has at most `limit` bytes and
// does not end inside a UTF-8 sequence. Bytes that are not UTF-8 are cut anywhere.
std::size_t utf8_prefix_length(const char* text, std::size_t length, std::size_t limit);

// Copies `name` into a ResMonitorInfo::objName field: up to its terminator, at most 127 bytes
// (cut by utf8_prefix_length), always NUL-terminated, the rest of the field zero.
void copy_object_name(const char* name, char (&field)[128]);
// The same for a name whose length is known (`name` need not be terminated).
void copy_object_name(const char* name, std::size_t length, char (&field)[128]);

// "\n[<name>] count:<count>". When the line would not fit kReportLineBuffer, the name is cut
// (by utf8_prefix_length) and ends in "..." so that the whole line takes at most 127 bytes.
std::string count_line(const std::string& name, int count);

// "\n[<index>] <ctime text of created>", the ctime text ending in a newline.
std::string detail_line(int index, std::time_t created);

// "\n[<index>] [<name>] count:<count> oldest: <ctime text of oldest>", the ctime text ending in a
// newline. A name too long for kReportLineBuffer is cut and marked as in count_line().
std::string site_line(int index, const std::string& name, std::size_t count, std::time_t oldest);

// "\nTotal: <resources> resources, <sites> sites, <names> names".
std::string summary_line(std::size_t resources, std::size_t sites, std::size_t names);

}  // namespace resmonitor
