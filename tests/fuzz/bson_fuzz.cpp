// Item decoding of any bytes, checked item by item against a MessagePack reader written here from
// the format's description: same type code, value, text and bytes consumed; a refused or cut
// item leaves the cursor where it was and marks the unpacker failed. The typed reads
// (nil, map and tuple sizes, items into the caller's record) follow the same reader.
#include <fuzzer/FuzzedDataProvider.h>

#include <core/bson.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_check.h"

namespace {

using core::BsonItem;

struct Expected {
  std::int32_t type = BsonItem::kNone;
  std::uint64_t bits = 0;  // integer value as two's complement, or the double's bits
  std::int64_t count = 0;  // elements of a map or tuple
  std::string text;
  std::size_t consumed = 0;
};

class Reference {
 public:
  Reference(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

  // The item at `at`, or nothing when the bytes there are not a whole item this model accepts.
  std::optional<Expected> read(std::size_t at) const {
    if (at >= size_) return std::nullopt;
    const unsigned lead = data_[at];
    Expected item;
    std::size_t pos = at + 1;
    const auto big_endian = [&](std::size_t bytes, std::uint64_t& out) {
      if (size_ - pos < bytes) return false;
      out = 0;
      for (std::size_t i = 0; i < bytes; ++i) out = out << 8 | data_[pos + i];
      pos += bytes;
      return true;
    };
    const auto sized_text = [&](std::uint64_t length) {
      if (size_ - pos < length) return false;
      item.type = BsonItem::kString;
      item.text.assign(reinterpret_cast<const char*>(data_ + pos), length);
      pos += length;
      return true;
    };
    std::uint64_t raw = 0;
    bool ok = true;
    if (lead <= 0x7F) {
      item.type = BsonItem::kUInt8;
      item.bits = lead;
    } else if (lead >= 0xE0) {
      item.type = BsonItem::kInt8;
      item.bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(lead) - 256);
    } else if (lead <= 0x8F || (lead >= 0x90 && lead <= 0x9F)) {
      item.type = lead <= 0x8F ? BsonItem::kMap : BsonItem::kTuple;
      item.count = lead & 0x0F;
    } else if (lead >= 0xA0 && lead <= 0xBF) {
      ok = sized_text(lead & 0x1F);
    } else if (lead == 0xC0) {
      item.type = BsonItem::kNull;
    } else if (lead == 0xC2 || lead == 0xC3) {
      item.type = BsonItem::kBool;
      item.bits = lead == 0xC3;
    } else if (lead == 0xC4 || lead == 0xD9 || lead == 0xC5 || lead == 0xDA || lead == 0xC6 ||
               lead == 0xDB) {
      const std::size_t width = (lead == 0xC4 || lead == 0xD9)   ? 1
                                : (lead == 0xC5 || lead == 0xDA) ? 2
                                                                 : 4;
      ok = big_endian(width, raw) && sized_text(raw);
    } else if (lead == 0xCA) {
      ok = big_endian(4, raw);
      float single;
      const auto bits32 = static_cast<std::uint32_t>(raw);
      std::memcpy(&single, &bits32, 4);
      const double widened = single;
      std::memcpy(&item.bits, &widened, 8);
      item.type = BsonItem::kFloat32;
    } else if (lead == 0xCB) {
      ok = big_endian(8, raw);
      item.bits = raw;
      item.type = BsonItem::kFloat64;
    } else if (lead >= 0xCC && lead <= 0xCF) {
      const std::size_t width = std::size_t{1} << (lead - 0xCC);
      ok = big_endian(width, raw);
      item.type = BsonItem::kUInt8 + static_cast<std::int32_t>(lead - 0xCC);
      item.bits = raw;
    } else if (lead >= 0xD0 && lead <= 0xD3) {
      const std::size_t width = std::size_t{1} << (lead - 0xD0);
      ok = big_endian(width, raw);
      const unsigned unused = static_cast<unsigned>(64 - 8 * width);
      item.type = BsonItem::kInt8 + static_cast<std::int32_t>(lead - 0xD0);
      item.bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(raw << unused) >> unused);
    } else if (lead >= 0xDC && lead <= 0xDF) {
      ok = big_endian((lead & 1) == 0 ? 2 : 4, raw) && raw <= 0x7FFFFFFF;
      item.type = lead <= 0xDD ? BsonItem::kTuple : BsonItem::kMap;
      item.count = static_cast<std::int64_t>(raw);
    } else {
      ok = false;  // 0xC1 and the extension types
    }
    if (!ok) return std::nullopt;
    item.consumed = pos - at;
    return item;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
};

void check_same(const BsonItem& got, const Expected& want) {
  FUZZ_CHECK(got.type == want.type);
  switch (want.type) {
    case BsonItem::kBool:
      FUZZ_CHECK(got.value.boolean == (want.bits != 0));
      break;
    case BsonItem::kString:
      FUZZ_CHECK(got.text == want.text);
      break;
    case BsonItem::kMap:
    case BsonItem::kTuple:
      FUZZ_CHECK(got.value.count == want.count);
      break;
    case BsonItem::kFloat32:
    case BsonItem::kFloat64: {
      std::uint64_t bits = 0;
      std::memcpy(&bits, &got.value.real, 8);
      FUZZ_CHECK(bits == want.bits);
      break;
    }
    case BsonItem::kNull:
      break;
    default:
      FUZZ_CHECK(got.value.unsigned_integer == want.bits);
  }
  FUZZ_CHECK(got.IsInteger() == (want.type >= BsonItem::kInt8 && want.type <= BsonItem::kUInt64));
}

// One read of the kind `how` picks, compared with the reference at the cursor.
void read_one(core::BsonUnpacker& unpacker, const Reference& reference, int how) {
  const std::size_t at = static_cast<std::size_t>(unpacker.cursor - unpacker.begin);
  const std::optional<Expected> want = reference.read(at);
  const bool failed_before = unpacker.Failed();
  bool accepted = want.has_value();
  switch (how) {
    case 0: {
      BsonItem* got = unpacker.GetNextItem();
      FUZZ_CHECK((got != nullptr) == accepted);
      if (got != nullptr) check_same(*got, *want);
      break;
    }
    case 1: {
      BsonItem out;
      unpacker >> out;
      FUZZ_CHECK(static_cast<bool>(out) == accepted);
      if (accepted) check_same(out, *want);
      break;
    }
    case 2: {
      core::BsonMapSize map_size(-7);
      unpacker >> map_size;
      if (accepted && want->type == BsonItem::kMap) FUZZ_CHECK(map_size == want->count);
      accepted = accepted && want->type == BsonItem::kMap;
      if (!accepted) FUZZ_CHECK(unpacker.Failed());
      break;
    }
    default:
      unpacker >> nullptr;
      accepted = accepted && want->type == BsonItem::kNull;
      if (!accepted) FUZZ_CHECK(unpacker.Failed());
  }
  const std::size_t moved = static_cast<std::size_t>(unpacker.cursor - unpacker.begin) - at;
  FUZZ_CHECK(moved == (want ? want->consumed : 0));
  // The flag is sticky: a failure stays, a success never clears an earlier one.
  if (failed_before) FUZZ_CHECK(unpacker.Failed());
  if (!failed_before && accepted) FUZZ_CHECK(!unpacker.Failed());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte picks the kinds of reads; the rest is the document, in a buffer of its own
  // size so that a read past its end is caught.
  if (size == 0) return 0;
  const unsigned selector = data[0];
  const std::vector<unsigned char> document(data + 1, data + size);
  const core::BsonBox box(document);
  core::BsonUnpacker unpacker(box);
  const Reference reference(box.Data(), box.Size());

  for (int step = 0; step < 256 && !unpacker.Eos(); ++step) {
    const int how = (selector >> (2 * (step % 4))) & 3;
    const std::size_t before = static_cast<std::size_t>(unpacker.cursor - unpacker.begin);
    read_one(unpacker, reference, how);
    if (static_cast<std::size_t>(unpacker.cursor - unpacker.begin) == before) break;
  }
  // Rewinding clears the flag and reads the first item again.
  unpacker.Rewind();
  FUZZ_CHECK(!unpacker.Failed());
  if (!unpacker.Eos()) read_one(unpacker, reference, 0);
  return 0;
}
