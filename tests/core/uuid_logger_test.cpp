#include <core/logger.h>
#include <core/uuid.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Uuid, NilByDefaultAndHashesLikeEightZeroBytes) {
  core::Uuid id;
  EXPECT_TRUE(id.IsNil());
  EXPECT_EQ(static_cast<unsigned long long>(id.Hash()), 0xa8c7f832281a39c5ull);
}

TEST(Uuid, HashFoldsTheHalves) {
  core::Uuid id;
  id.bytes[0] = 1;
  EXPECT_FALSE(id.IsNil());
  EXPECT_EQ(static_cast<unsigned long long>(id.Hash()), 0x89cd31291d2aefa4ull);

  core::Uuid a;
  core::Uuid b;
  for (int i = 0; i < 16; ++i) a.bytes[i] = static_cast<unsigned char>(i * 17 + 3);
  for (int i = 0; i < 8; ++i) {
    b.bytes[i] = a.bytes[i + 8];
    b.bytes[i + 8] = a.bytes[i];
  }
  EXPECT_EQ(a.Hash(), b.Hash());
  EXPECT_NE(a.Hash(), id.Hash());
}

TEST(Uuid, AssignAndSetNil) {
  core::Uuid a;
  std::memset(a.bytes, 0xab, sizeof a.bytes);
  core::Uuid b;
  b = a;
  EXPECT_EQ(std::memcmp(b.Data(), a.Data(), 16), 0);
  b.SetNil();
  EXPECT_TRUE(b.IsNil());
}

TEST(UuidString, EmptyByDefaultAndCopiesTheWholeBuffer) {
  core::UuidString empty;
  EXPECT_STREQ(empty.Data(), "");
  core::UuidString text;
  std::memset(text.text, 'z', sizeof text.text);
  std::strcpy(text.text, "6b0e2c4e-0000-4000-8000-000000000001");
  core::UuidString copy;
  copy = text;
  EXPECT_STREQ(copy.Data(), text.Data());
  EXPECT_EQ(copy.text[39], 'z');
}

class RecordingLogger : public core::Logger {
 public:
  void Write(int level, const char* module, const char* text) override {
    last = std::to_string(level) + " " + module + " " + text;
  }
  std::string last;
};

TEST(Logger, DerivedLoggersDispatchThroughTheExportedTable) {
  RecordingLogger logger;
  core::Logger& base = logger;
  base.Write(3, "mod", "hello");
  EXPECT_EQ(logger.last, "3 mod hello");
  RecordingLogger copy(logger);
  copy = logger;
  EXPECT_EQ(copy.last, "3 mod hello");
}

}  // namespace
