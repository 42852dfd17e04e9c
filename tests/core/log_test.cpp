#include <core/log.h>
#include <core/sleep.h>

#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"

namespace {

using quillmark::testing::LogCapture;

TEST(CoreLog, FormatsAndTagsRecords) {
  LogCapture capture;
  CoreLogPrint("resmonitor", 4, "%s start %d", "thread", 7);
  CoreLogPrintLog("ZOR", 6, "FreezeMonitor", nullptr, nullptr, -1, "frozen %s", "task");
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].logger, "");
  EXPECT_EQ(lines[0].module, "resmonitor");
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].text, "thread start 7");
  EXPECT_EQ(lines[1].logger, "ZOR");
  EXPECT_EQ(lines[1].module, "FreezeMonitor");
  EXPECT_EQ(lines[1].level, 6);
  EXPECT_EQ(lines[1].text, "frozen task");
}

TEST(CoreLog, LongMessagesAreCutNotOverflowed) {
  LogCapture capture;
  const std::string huge(core::kMaxLogMessage + 5000, 'x');
  const int written = CoreLogPrint("t", 4, "%s", huge.c_str());
  EXPECT_EQ(written, core::kMaxLogMessage);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].text.size(), static_cast<std::size_t>(core::kMaxLogMessage));
}

TEST(CoreLog, NullTagAndFormatAreEmpty) {
  LogCapture capture;
  CoreLogPrint(nullptr, 1, nullptr);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].module, "");
  EXPECT_EQ(capture.lines()[0].text, "");
}

TEST(CoreLog, DefaultSinkWritesToStderr) {
  testing::internal::CaptureStderr();
  CoreLogPrint("tag", 4, "to stderr %d", 1);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("tag: to stderr 1"), std::string::npos) << out;
}

TEST(CoreSleep, NonPositiveReturnsAtOnce) {
  core::safe_sleep_ms(0);
  core::safe_sleep_ms(-5);
  core::safe_sleep_ms(1);
}

}  // namespace
