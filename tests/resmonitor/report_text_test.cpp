// Names and report lines that do not fit their fixed buffers.
#include <gtest/gtest.h>

#include <quillmark/resource_monitor.h>

#include <cstring>
#include <string>

#include "resmonitor/report_text.h"

namespace resmonitor {
namespace {

const std::string kE = "\xC3\xA9";  // a two-byte UTF-8 sequence

TEST(ObjectName, CutTo127BytesAlwaysTerminatedNeverInsideAUtf8Sequence) {
  // The fuzz target checks the field's terminator and that short names are copied whole.
  ResMonitorInfo info;
  for (std::size_t length : {127u, 128u, 300u}) {
    const std::string name(length, 'n');
    copy_object_name(name.c_str(), info.objName);
    EXPECT_EQ(std::strlen(info.objName), std::min<std::size_t>(length, 127)) << length;
  }

  const std::string name = std::string(126, 'a') + kE + "tail";  // the cut falls inside the é
  copy_object_name(name.c_str(), info.objName);
  EXPECT_EQ(std::string(info.objName), std::string(126, 'a'));

  // Bytes that are not UTF-8 (a run of continuation bytes) are cut at the limit.
  const std::string binary(200, '\x80');
  copy_object_name(binary.c_str(), info.objName);
  EXPECT_EQ(std::strlen(info.objName), 127u);
}

TEST(CountLine, FitsUpTo117NameAndDigitBytesAndLongerNamesAreCutWithAMarker) {
  EXPECT_EQ(count_line("Texture", 3), "\n[Texture] count:3");
  EXPECT_EQ(count_line("", 1), "\n[] count:1");
  const std::string longest(116, 'n');
  EXPECT_EQ(count_line(longest, 7), "\n[" + longest + "] count:7");
  EXPECT_EQ(count_line(longest, 7).size(), 127u);

  for (const int count : {1, 12345, 2147483647}) {
    const std::string name = "VideoDecoder::" + std::string(300, 'z');
    const std::string line = count_line(name, count);
    const std::string tail = "...] count:" + std::to_string(count);
    EXPECT_EQ(line.size(), kReportLineBuffer - 1) << count;
    EXPECT_EQ(line.rfind("\n[VideoDecoder::zzz", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
  }
  // 117 name bytes and one digit is one byte too many.
  EXPECT_EQ(count_line(std::string(117, 'n'), 1), "\n[" + std::string(113, 'n') + "...] count:1");

  std::string accented;
  while (accented.size() < 200) accented += kE;
  const std::string line = count_line(accented, 1);
  EXPECT_EQ((line.find("...]") - 2) % 2, 0u) << "an é was split";
  EXPECT_LE(line.size(), kReportLineBuffer - 1);
}

TEST(Utf8Prefix, BacksUpToTheLeadByte) {
  const std::string text = "ab" + std::string("\xF0\x9F\x98\x80") + "cd";  // a four-byte sequence
  for (std::size_t limit = 3; limit <= 5; ++limit) {
    EXPECT_EQ(utf8_prefix_length(text.data(), text.size(), limit), 2u) << limit;
  }
  EXPECT_EQ(utf8_prefix_length(text.data(), text.size(), 6), 6u);
  EXPECT_EQ(utf8_prefix_length(text.data(), text.size(), 100), text.size());
}

}  // namespace
}  // namespace resmonitor
