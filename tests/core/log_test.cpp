#include <core/log.h>
#include <core/sleep.h>

#include <gtest/gtest.h>

#include <string>

#include "host/core/log_testing.h"
#include "support/log_capture.h"

namespace {

using quillmark::testing::LogCapture;

TEST(CoreLog, FormatsAndTagsRecords) {
  LogCapture capture;
  CoreLogPrint("resmonitor", 4, "%s start %d", "thread", 7);
  CoreLogPrintLog("ZOR", 6, "FreezeMonitor", nullptr, nullptr, -1, "frozen %s", "task");
  CoreLogPrint(nullptr, 1, nullptr);
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].logger, "");
  EXPECT_EQ(lines[0].module, "resmonitor");
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].text, "thread start 7");
  EXPECT_EQ(lines[1].logger, "ZOR");
  EXPECT_EQ(lines[1].module, "FreezeMonitor");
  EXPECT_EQ(lines[1].level, 6);
  EXPECT_EQ(lines[1].text, "frozen task");
  EXPECT_EQ(lines[2].module, "");
  EXPECT_EQ(lines[2].text, "");
}

// A report of a thousand leaks is one record of some 300 KB: it reaches the sink, and the
// default writer's line, whole. Varied text, so that a cut or a repeated piece would show.
std::string long_text() {
  std::string text;
  for (int entry = 0; text.size() < 300 * 1024; ++entry) {
    text +=
        "\n[" + std::to_string(entry) + "] Frame Texture[0x" + std::to_string(entry * 4096) + "]";
  }
  return text;
}

TEST(CoreLog, LongRecordsReachTheSinkAndTheDefaultWriterWhole) {
  const std::string text = long_text();
  {
    LogCapture capture;
    const int written = CoreLogPrint("resmonitor", 4, "Resource leak list%s", text.c_str());
    EXPECT_EQ(written, static_cast<int>(text.size()) + 18);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].text, "Resource leak list" + text);
  }
  testing::internal::CaptureStderr();
  CoreLogPrint("resmonitor", 4, "%s", text.c_str());
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("resmonitor: " + text + "\n"), std::string::npos) << out.substr(0, 200);
}

// Where a bound applies, the text ends with a marker that counts what is missing, and the cut
// never splits a UTF-8 sequence.
TEST(CoreLog, ABoundCutsWithAMarker) {
  LogCapture capture;
  std::string text = "x";
  for (int i = 0; i < 600; ++i) text += "\xC3\xA9";  // 1201 bytes, byte 1000 inside a sequence
  core::detail::set_record_bound(1000);
  CoreLogPrint("t", 4, "%s", text.c_str());
  CoreLogPrint("t", 4, "%s", "short");
  core::detail::set_record_bound(0);
  ASSERT_EQ(capture.lines().size(), 2u);
  EXPECT_EQ(capture.lines()[0].text, text.substr(0, 999) + "[... 202 bytes left out]");
  EXPECT_EQ(capture.lines()[1].text, "short");
}

// A sink that logs itself, as exit handlers run from inside a sink do, would wait for its own
// lock: the inner record goes to stderr instead, and the sink is not entered again.
TEST(CoreLog, ALogCallFromInsideTheSinkGoesToStderr) {
  struct Calls {
    int count = 0;
  } calls;
  core::SetLogSink(
      [](const core::LogRecord&, void* context) {
        if (static_cast<Calls*>(context)->count++ == 0) CoreLogPrint("inner", 5, "from the sink");
      },
      &calls);
  testing::internal::CaptureStderr();
  CoreLogPrint("outer", 4, "to the sink");
  const std::string out = testing::internal::GetCapturedStderr();
  core::SetLogSink(nullptr, nullptr);
  EXPECT_EQ(calls.count, 1);
  EXPECT_NE(out.find("[5] inner: from the sink\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("to the sink"), std::string::npos) << out;
}

TEST(CoreSleep, NonPositiveReturnsAtOnce) {
  core::safe_sleep_ms(0);
  core::safe_sleep_ms(-5);
  core::safe_sleep_ms(1);
}

}  // namespace
