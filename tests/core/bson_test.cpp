#include <core/bson.h>

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

TEST(BsonBox, CopiesAndMovesBuffers) {
  core::BsonBox empty;
  EXPECT_EQ(empty.Data(), nullptr);
  EXPECT_EQ(empty.Size(), 0u);

  core::BsonBox box(Bytes{1, 2, 3});
  core::BsonBox copy(box);
  EXPECT_EQ(copy.Size(), 3u);
  EXPECT_NE(copy.Data(), box.Data());

  const unsigned char* buffer = box.Data();
  core::BsonBox moved(std::move(box));
  EXPECT_EQ(moved.Data(), buffer);
  EXPECT_EQ(box.Data(), nullptr);  // NOLINT(bugprone-use-after-move): documented state

  core::BsonBox target(Bytes{9});
  target = std::move(moved);
  EXPECT_EQ(target.Data(), buffer);
  EXPECT_EQ(moved.Data(), nullptr);  // NOLINT(bugprone-use-after-move)

  core::BsonBox& self = target;
  target = std::move(self);
  EXPECT_EQ(target.Data(), buffer);
  target = self;
  EXPECT_EQ(target.Data(), buffer);

  Bytes owned{4, 5};
  const unsigned char* owned_buffer = owned.data();
  const core::BsonBox taken = std::move(owned);  // no copy
  EXPECT_EQ(taken.Data(), owned_buffer);
}

// Host code written against the base library's declarations converts implicitly.
static_assert(std::is_convertible_v<const Bytes&, core::BsonBox>);
static_assert(std::is_convertible_v<Bytes&&, core::BsonBox>);
static_assert(std::is_convertible_v<const core::BsonBox&, core::BsonUnpacker>);
static_assert(std::is_convertible_v<const core::BsonItem&, bool>);

TEST(BsonPacker, TakeHandsOverTheBufferAndReserveGrowsExactly) {
  core::BsonPacker packer;
  packer.Reserve(10);
  EXPECT_EQ(packer.buffer.capacity(), 10u);
  packer.buffer = {1, 2, 3};
  const unsigned char* data = packer.Data();
  const std::size_t capacity = packer.buffer.capacity();
  packer.Clear();
  EXPECT_EQ(packer.Size(), 0u);
  packer.Reserve(capacity);  // no reallocation
  EXPECT_EQ(packer.Data(), data);

  packer.buffer = {5, 6};
  packer.Reserve(capacity + 7);
  EXPECT_EQ(packer.buffer.capacity(), capacity + 7);
  EXPECT_EQ(packer.buffer, (Bytes{5, 6}));

  data = packer.Data();
  core::BsonBox box = packer.Take();
  EXPECT_EQ(box.Data(), data);
  EXPECT_EQ(box.Size(), 2u);
  EXPECT_EQ(packer.Data(), nullptr);
  EXPECT_EQ(packer.buffer.capacity(), 0u);
}

// The exception is thrown inside the quillmark library and caught here, in the host's module:
// exceptions must cross the module boundary on both targets.
TEST(BsonPacker, ReserveBeyondMaximumThrowsLengthErrorAcrossTheBoundary) {
  core::BsonPacker packer;
  EXPECT_THROW(packer.Reserve(std::numeric_limits<std::size_t>::max()), std::length_error);
}

TEST(BsonItem, PredicatesFollowTheTypeCodeAndClearKeepsCapacity) {
  core::BsonItem item;
  EXPECT_FALSE(item);
  // Which predicate holds for each code, from the edges of every range: N(ull) B(ool)
  // I(nteger) F(loat) S(tring) T(uple) M(ap), or none.
  const std::pair<int, char> cases[] = {{1, 'N'},  {2, 'B'},  {3, 'I'},  {10, 'I'},
                                        {11, 'F'}, {12, 'F'}, {13, 'S'}, {14, 'T'},
                                        {15, 'M'}, {16, '-'}, {-3, '-'}};
  for (const auto& [code, kind] : cases) {
    item.type = code;
    EXPECT_TRUE(item);
    const std::string held = std::string(item.IsNull() ? "N" : "") + (item.IsBool() ? "B" : "") +
                             (item.IsInteger() ? "I" : "") + (item.IsFloat() ? "F" : "") +
                             (item.IsString() ? "S" : "") + (item.IsTuple() ? "T" : "") +
                             (item.IsMap() ? "M" : "");
    EXPECT_EQ(held, kind == '-' ? "" : std::string(1, kind)) << "code " << code;
  }

  item.type = core::BsonItem::kString;
  item.text = std::string(100, 'x');
  item.value.integer = 42;
  const std::size_t capacity = item.text.capacity();
  item.Clear();
  EXPECT_FALSE(item);
  EXPECT_TRUE(item.text.empty());
  EXPECT_EQ(item.text.capacity(), capacity);
  EXPECT_EQ(item.value.integer, 42);
}

// Item by item decoding and the sticky failure flag are checked against a reference reader by
// the fuzz target; here, what it does not reach: empty input and reopening.
TEST(BsonUnpacker, EmptyInputFailsOnReadAndOpenStartsAfresh) {
  core::BsonBox box;
  core::BsonUnpacker from_box(box);
  core::BsonUnpacker unopened;
  for (core::BsonUnpacker* unpacker : {&from_box, &unopened}) {
    EXPECT_TRUE(unpacker->Eos());
    EXPECT_FALSE(unpacker->Failed());
    EXPECT_EQ(unpacker->GetNextItem(), nullptr);
    EXPECT_TRUE(unpacker->Failed());
  }
  const Bytes next = {0xc3};
  unopened.Open(next.data(), next.size());
  EXPECT_FALSE(unopened.Failed());
  EXPECT_FALSE(unopened.Eos());
  EXPECT_EQ(unopened.GetNextItem()->type, core::BsonItem::kBool);
}

TEST(BsonUnpacker, CopyAndMoveKeepPositionAndItem) {
  const Bytes bytes = {0xa1, 'q', 0x07};
  core::BsonUnpacker unpacker(bytes.data(), bytes.size());
  unpacker.GetNextItem();
  core::BsonUnpacker copy(unpacker);
  EXPECT_EQ(copy.cursor, unpacker.cursor);
  EXPECT_EQ(copy.item.text, "q");
  core::BsonUnpacker moved(std::move(unpacker));
  EXPECT_EQ(moved.cursor, bytes.data() + 2);
  EXPECT_EQ(unpacker.cursor, bytes.data() + 2);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(moved.GetNextItem()->value.unsigned_integer, 7u);
}

}  // namespace
