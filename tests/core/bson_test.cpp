#include <core/bson.h>

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
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
}

// Host code written against the base library's declarations converts implicitly.
core::BsonBox box_of(const Bytes& bytes) { return bytes; }
core::BsonBox box_taking(Bytes&& bytes) { return std::move(bytes); }
bool item_present(const core::BsonItem& item) { return item; }
std::size_t unpacker_size(const core::BsonUnpacker& unpacker) {
  return static_cast<std::size_t>(unpacker.end - unpacker.begin);
}

TEST(BsonConversions, ConvertingMembersAreImplicit) {
  static_assert(std::is_convertible_v<const Bytes&, core::BsonBox>);
  static_assert(std::is_convertible_v<Bytes&&, core::BsonBox>);
  static_assert(std::is_convertible_v<const core::BsonBox&, core::BsonUnpacker>);
  static_assert(std::is_convertible_v<const core::BsonItem&, bool>);

  const Bytes bytes{0x91, 0xc0};
  EXPECT_EQ(box_of(bytes).Size(), 2u);
  Bytes owned = bytes;
  const unsigned char* buffer = owned.data();
  const core::BsonBox taken = box_taking(std::move(owned));
  EXPECT_EQ(taken.Data(), buffer);
  EXPECT_EQ(unpacker_size(taken), 2u);
  core::BsonItem item;
  EXPECT_FALSE(item_present(item));
  item.type = core::BsonItem::kNull;
  EXPECT_TRUE(item_present(item));
}

TEST(BsonPacker, TakeHandsOverTheBuffer) {
  core::BsonPacker packer;
  packer.buffer = {1, 2, 3, 4};
  const unsigned char* data = packer.Data();
  core::BsonBox box = packer.Take();
  EXPECT_EQ(box.Data(), data);
  EXPECT_EQ(box.Size(), 4u);
  EXPECT_EQ(packer.Data(), nullptr);
  EXPECT_EQ(packer.Size(), 0u);
  EXPECT_EQ(packer.buffer.capacity(), 0u);
}

TEST(BsonPacker, ClearKeepsCapacityAndReserveGrowsExactly) {
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
}

// The exception is thrown inside the quillmark library and caught here, in the host's module:
// exceptions must cross the module boundary on both targets.
TEST(BsonPacker, ReserveBeyondMaximumThrowsLengthErrorAcrossTheBoundary) {
  core::BsonPacker packer;
  EXPECT_THROW(packer.Reserve(std::numeric_limits<std::size_t>::max()), std::length_error);
}

TEST(BsonItem, PredicatesFollowTheTypeCode) {
  core::BsonItem item;
  EXPECT_FALSE(item);
  struct Case {
    int code;
    bool null, boolean, integer, real, string, tuple, map;
  };
  const Case cases[] = {
      {1, true, false, false, false, false, false, false},
      {2, false, true, false, false, false, false, false},
      {3, false, false, true, false, false, false, false},
      {10, false, false, true, false, false, false, false},
      {11, false, false, false, true, false, false, false},
      {12, false, false, false, true, false, false, false},
      {13, false, false, false, false, true, false, false},
      {14, false, false, false, false, false, true, false},
      {15, false, false, false, false, false, false, true},
      {16, false, false, false, false, false, false, false},
      {-3, false, false, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    item.type = c.code;
    EXPECT_TRUE(item);
    EXPECT_EQ(item.IsNull(), c.null);
    EXPECT_EQ(item.IsBool(), c.boolean);
    EXPECT_EQ(item.IsInteger(), c.integer);
    EXPECT_EQ(item.IsFloat(), c.real);
    EXPECT_EQ(item.IsString(), c.string);
    EXPECT_EQ(item.IsTuple(), c.tuple);
    EXPECT_EQ(item.IsMap(), c.map);
  }
}

TEST(BsonItem, ClearKeepsValueAndTextCapacity) {
  core::BsonItem item;
  item.type = core::BsonItem::kString;
  item.text = std::string(100, 'x');
  item.value.integer = 42;
  const std::size_t capacity = item.text.capacity();
  item.Clear();
  EXPECT_EQ(item.type, 0);
  EXPECT_TRUE(item.text.empty());
  EXPECT_EQ(item.text.capacity(), capacity);
  EXPECT_EQ(item.value.integer, 42);
}

TEST(BsonSizes, HoldAnInt) {
  core::BsonMapSize map;
  EXPECT_EQ(static_cast<int>(map), 0);
  map = core::BsonMapSize(7);
  EXPECT_EQ(static_cast<int>(map), 7);
  core::BsonTupleSize tuple(3);
  core::BsonTupleSize other;
  other = tuple;
  EXPECT_EQ(static_cast<int>(other), 3);
}

// [1, "ab", nil, {true: -1}] followed by 1.5 as a double.
const Bytes kDocument = {0x94, 0x01, 0xa2, 'a', 'b', 0xc0, 0x81, 0xc3, 0xff,
                         0xcb, 0x3f, 0xf8, 0,   0,   0,    0,    0,    0};

TEST(BsonUnpacker, ReadsADocument) {
  core::BsonBox box(kDocument);
  core::BsonUnpacker unpacker(box);
  core::BsonTupleSize tuple;
  unpacker >> tuple;
  EXPECT_EQ(static_cast<int>(tuple), 4);
  core::BsonItem* item = unpacker.GetNextItem();
  ASSERT_NE(item, nullptr);
  EXPECT_TRUE(item->IsInteger());
  EXPECT_EQ(item->value.unsigned_integer, 1u);
  core::BsonItem text;
  unpacker >> text;
  EXPECT_TRUE(text.IsString());
  EXPECT_EQ(text.text, "ab");
  unpacker >> nullptr;
  core::BsonMapSize map;
  unpacker >> map;
  EXPECT_EQ(static_cast<int>(map), 1);
  EXPECT_TRUE(unpacker.GetNextItem()->IsBool());
  item = unpacker.GetNextItem();
  EXPECT_EQ(item->type, core::BsonItem::kInt8);
  EXPECT_EQ(item->value.integer, -1);
  item = unpacker.GetNextItem();
  EXPECT_EQ(item->type, core::BsonItem::kFloat64);
  EXPECT_DOUBLE_EQ(item->value.real, 1.5);
  EXPECT_TRUE(unpacker.Eos());
  EXPECT_FALSE(unpacker.Failed());
}

TEST(BsonUnpacker, EmptyInputIsAtEndButNotFailed) {
  core::BsonBox box;
  core::BsonUnpacker unpacker(box);
  EXPECT_TRUE(unpacker.Eos());
  EXPECT_FALSE(unpacker.Failed());
  EXPECT_EQ(unpacker.GetNextItem(), nullptr);
  EXPECT_TRUE(unpacker.Failed());
}

TEST(BsonUnpacker, GetNextItemAlwaysReturnsItsOwnItem) {
  const Bytes bytes = {0x01, 0x02};
  core::BsonUnpacker unpacker(bytes.data(), bytes.size());
  core::BsonItem* first = unpacker.GetNextItem();
  EXPECT_EQ(first->value.unsigned_integer, 1u);
  core::BsonItem* second = unpacker.GetNextItem();
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, &unpacker.item);
  EXPECT_EQ(first->value.unsigned_integer, 2u);
}

TEST(BsonUnpacker, FailureIsStickyUntilRewind) {
  const Bytes bytes = {0x01, 0xc0};
  core::BsonUnpacker unpacker(bytes.data(), bytes.size());
  unpacker >> nullptr;  // 1 is not nil
  EXPECT_TRUE(unpacker.Failed());
  unpacker >> nullptr;  // this one is nil, but the flag stays
  EXPECT_TRUE(unpacker.Failed());
  EXPECT_TRUE(unpacker.Eos());
  unpacker.Rewind();
  EXPECT_FALSE(unpacker.Failed());
  EXPECT_EQ(unpacker.cursor, bytes.data());
}

TEST(BsonUnpacker, WrongContainerKindFails) {
  const Bytes bytes = {0x91, 0x01};
  core::BsonUnpacker unpacker(bytes.data(), bytes.size());
  core::BsonMapSize map(5);
  unpacker >> map;
  EXPECT_TRUE(unpacker.Failed());
  EXPECT_EQ(static_cast<int>(map), 5);
}

TEST(BsonUnpacker, OpenResetsCursorButKeepsItem) {
  const Bytes first = {0x05};
  const Bytes second = {0xc3};
  core::BsonUnpacker unpacker(first.data(), first.size());
  unpacker.GetNextItem();
  unpacker.GetNextItem();
  ASSERT_TRUE(unpacker.Failed());
  unpacker.Open(second.data(), second.size());
  EXPECT_FALSE(unpacker.Failed());
  EXPECT_FALSE(unpacker.Eos());
  EXPECT_EQ(unpacker.GetNextItem()->type, core::BsonItem::kBool);
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

// Truncated and malformed input leaves type code 0, never reads past the end and does not move
// the cursor. Each case is cut out of a larger buffer so that an over-read would see poison.
TEST(BsonUnpacker, MalformedInputIsRefusedWithinBounds) {
  const std::vector<Bytes> cases = {
      {0xcd, 0x01},                    // uint16 missing a byte
      {0xcf, 1, 2, 3, 4, 5, 6, 7},     // uint64 missing a byte
      {0xa5, 'a', 'b'},                // fixstr longer than the input
      {0xdb, 0xff, 0xff, 0xff, 0xff},  // str32 of 4 GiB
      {0xdd, 0x80, 0, 0, 0},           // array count above INT_MAX
      {0xc1},                          // never used
      {0xd4, 0x01, 0x02},              // extension types are not part of the model
      {0xda, 0x00},                    // str16 length cut short
  };
  for (const Bytes& input : cases) {
    SCOPED_TRACE(testing::PrintToString(input));
    Bytes poisoned = input;
    poisoned.insert(poisoned.end(), 16, 0x00);
    core::BsonUnpacker unpacker(poisoned.data(), input.size());
    core::BsonItem item;
    item.type = core::BsonItem::kString;
    unpacker.UnpackNextItem(item);
    EXPECT_EQ(item.type, 0);
    EXPECT_EQ(unpacker.cursor, poisoned.data());
  }
}

TEST(BsonUnpacker, DefaultUnpackerReadsNothing) {
  core::BsonUnpacker unpacker;
  EXPECT_TRUE(unpacker.Eos());
  EXPECT_EQ(unpacker.GetNextItem(), nullptr);
  EXPECT_TRUE(unpacker.Failed());
}

TEST(BsonUnpacker, DecodesEveryIntegerKind) {
  const Bytes bytes = {0xd0, 0x80, 0xd1, 0xff, 0xfe, 0xd2, 0x80, 0,    0,
                       0,    0xd3, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                       0xfd, 0xcc, 0xff, 0xce, 0xff, 0xff, 0xff, 0xff};
  core::BsonUnpacker unpacker(bytes.data(), bytes.size());
  EXPECT_EQ(unpacker.GetNextItem()->value.integer, -128);
  EXPECT_EQ(unpacker.GetNextItem()->value.integer, -2);
  EXPECT_EQ(unpacker.GetNextItem()->value.integer, -2147483648LL);
  EXPECT_EQ(unpacker.GetNextItem()->value.integer, -3);
  EXPECT_EQ(unpacker.GetNextItem()->value.unsigned_integer, 255u);
  core::BsonItem* item = unpacker.GetNextItem();
  EXPECT_EQ(item->type, core::BsonItem::kUInt32);
  EXPECT_EQ(item->value.unsigned_integer, 0xffffffffu);
  EXPECT_TRUE(unpacker.Eos());
}

}  // namespace
