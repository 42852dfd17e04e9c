#include <core/logger.h>
#include <core/uuid.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Nil by default, hashed like eight zero bytes; the hash folds the halves.
TEST(Uuid, HashFoldsTheHalves) {
  core::Uuid id;
  EXPECT_TRUE(id.IsNil());
  EXPECT_EQ(static_cast<unsigned long long>(id.Hash()), 0xa8c7f832281a39c5ull);
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
  RecordingLogger() = default;
  explicit RecordingLogger(bool* destroyed) : destroyed_(destroyed) {}
  ~RecordingLogger() override {
    if (destroyed_ != nullptr) *destroyed_ = true;
  }
  void Write(int level, const char* module, const char* text) override {
    last = std::to_string(level) + " " + module + " " + text;
  }
  std::string last;

 private:
  bool* destroyed_ = nullptr;
};

// The dispatch table as a host compiled against the base library's own declaration reads it:
// complete destructor, deleting destructor, then Write. Read straight from the object, so the
// check does not depend on this build's header.
struct HostView {
  using Destroy = void (*)(void* self);
  using Write = void (*)(void* self, int level, const char* module, const char* text);
  explicit HostView(void* target)
      : object(target), slots(*static_cast<void* const* const*>(target)) {}
  void write(int level, const char* module, const char* text) const {
    reinterpret_cast<Write>(slots[2])(object, level, module, text);
  }
  void delete_object() const { reinterpret_cast<Destroy>(slots[1])(object); }

  void* object;
  void* const* slots;
};

TEST(Logger, HostSideSlotOrderIsDestructorThenWrite) {
  bool destroyed = false;
  auto* logger = new RecordingLogger(&destroyed);
  const HostView host(logger);
  host.write(5, "host", "through slot 2");
  EXPECT_EQ(logger->last, "5 host through slot 2");
  host.delete_object();  // frees the object; the leak checker sees it go
  EXPECT_TRUE(destroyed);
}

}  // namespace
