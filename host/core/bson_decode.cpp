// Item decoding of the base library: one MessagePack item at a time.
#include <core/bson.h>

#include <cstring>
#include <utility>

namespace core {
namespace {

// Reads big-endian unsigned values of 1, 2, 4 or 8 bytes.
std::uint64_t read_be(const unsigned char* p, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value = (value << 8) | p[i];
  return value;
}

// The bytes between the cursor and the end, checked before every read.
class Input {
 public:
  Input(const unsigned char* cursor, const unsigned char* end) : cursor_(cursor), end_(end) {}

  bool take(std::size_t bytes, const unsigned char*& out) {
    if (cursor_ == nullptr || end_ < cursor_ || static_cast<std::size_t>(end_ - cursor_) < bytes) {
      return false;
    }
    out = cursor_;
    cursor_ += bytes;
    return true;
  }
  bool take_uint(std::size_t bytes, std::uint64_t& out) {
    const unsigned char* p = nullptr;
    if (!take(bytes, p)) return false;
    out = read_be(p, bytes);
    return true;
  }
  const unsigned char* cursor() const { return cursor_; }

 private:
  const unsigned char* cursor_;
  const unsigned char* end_;
};

std::int64_t sign_extend(std::uint64_t raw, std::size_t bytes) {
  const unsigned shift = static_cast<unsigned>(64 - bytes * 8);
  return static_cast<std::int64_t>(raw << shift) >> shift;
}

bool decode_unsigned(Input& in, std::size_t bytes, std::int32_t code, BsonItem& item) {
  std::uint64_t raw = 0;
  if (!in.take_uint(bytes, raw)) return false;
  item.type = code;
  item.value.unsigned_integer = raw;
  return true;
}

bool decode_signed(Input& in, std::size_t bytes, std::int32_t code, BsonItem& item) {
  std::uint64_t raw = 0;
  if (!in.take_uint(bytes, raw)) return false;
  item.type = code;
  item.value.integer = sign_extend(raw, bytes);
  return true;
}

bool decode_float(Input& in, std::size_t bytes, BsonItem& item) {
  std::uint64_t raw = 0;
  if (!in.take_uint(bytes, raw)) return false;
  if (bytes == 4) {
    const auto bits = static_cast<std::uint32_t>(raw);
    float single = 0;
    std::memcpy(&single, &bits, sizeof single);
    item.type = BsonItem::kFloat32;
    item.value.real = single;
  } else {
    item.type = BsonItem::kFloat64;
    std::memcpy(&item.value.real, &raw, sizeof raw);
  }
  return true;
}

bool decode_text(Input& in, std::uint64_t length, BsonItem& item) {
  const unsigned char* p = nullptr;
  if (!in.take(static_cast<std::size_t>(length), p)) return false;
  item.type = BsonItem::kString;
  item.text.assign(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
  return true;
}

bool decode_text_with_length(Input& in, std::size_t length_bytes, BsonItem& item) {
  std::uint64_t length = 0;
  return in.take_uint(length_bytes, length) && decode_text(in, length, item);
}

bool set_container(std::int32_t code, std::uint64_t count, BsonItem& item) {
  if (count > 0x7fffffffu) return false;  // element counts are ints
  item.type = code;
  item.value.count = static_cast<std::int32_t>(count);
  return true;
}

bool decode_container(Input& in, std::size_t count_bytes, std::int32_t code, BsonItem& item) {
  std::uint64_t count = 0;
  return in.take_uint(count_bytes, count) && set_container(code, count, item);
}

bool decode_fixed(unsigned char lead, BsonItem& item) {
  if (lead <= 0x7f) {
    item.type = BsonItem::kUInt8;
    item.value.unsigned_integer = lead;
    return true;
  }
  if (lead >= 0xe0) {
    item.type = BsonItem::kInt8;
    item.value.integer = static_cast<std::int8_t>(lead);
    return true;
  }
  if (lead >= 0x80 && lead <= 0x8f) return set_container(BsonItem::kMap, lead & 0x0fu, item);
  if (lead >= 0x90 && lead <= 0x9f) return set_container(BsonItem::kTuple, lead & 0x0fu, item);
  return false;
}

bool decode(Input& in, BsonItem& item) {
  const unsigned char* lead_byte = nullptr;
  if (!in.take(1, lead_byte)) return false;
  const unsigned char lead = *lead_byte;
  if (lead >= 0xa0 && lead <= 0xbf) return decode_text(in, lead & 0x1fu, item);
  switch (lead) {
    case 0xc0:
      item.type = BsonItem::kNull;
      return true;
    case 0xc2:
    case 0xc3:
      item.type = BsonItem::kBool;
      item.value.boolean = lead == 0xc3;
      return true;
    case 0xc4:
    case 0xd9:
      return decode_text_with_length(in, 1, item);
    case 0xc5:
    case 0xda:
      return decode_text_with_length(in, 2, item);
    case 0xc6:
    case 0xdb:
      return decode_text_with_length(in, 4, item);
    case 0xca:
      return decode_float(in, 4, item);
    case 0xcb:
      return decode_float(in, 8, item);
    case 0xcc:
      return decode_unsigned(in, 1, BsonItem::kUInt8, item);
    case 0xcd:
      return decode_unsigned(in, 2, BsonItem::kUInt16, item);
    case 0xce:
      return decode_unsigned(in, 4, BsonItem::kUInt32, item);
    case 0xcf:
      return decode_unsigned(in, 8, BsonItem::kUInt64, item);
    case 0xd0:
      return decode_signed(in, 1, BsonItem::kInt8, item);
    case 0xd1:
      return decode_signed(in, 2, BsonItem::kInt16, item);
    case 0xd2:
      return decode_signed(in, 4, BsonItem::kInt32, item);
    case 0xd3:
      return decode_signed(in, 8, BsonItem::kInt64, item);
    case 0xdc:
      return decode_container(in, 2, BsonItem::kTuple, item);
    case 0xdd:
      return decode_container(in, 4, BsonItem::kTuple, item);
    case 0xde:
      return decode_container(in, 2, BsonItem::kMap, item);
    case 0xdf:
      return decode_container(in, 4, BsonItem::kMap, item);
    default:
      return decode_fixed(lead, item);  // extension types and 0xc1 are refused
  }
}

}  // namespace

BsonItem::BsonItem(const BsonItem& other)
    : type(other.type), value(other.value), text(other.text) {}

BsonItem::BsonItem(BsonItem&& other) noexcept
    : type(other.type), value(other.value), text(std::move(other.text)) {}

BsonItem& BsonItem::operator=(const BsonItem& other) {
  type = other.type;
  value = other.value;
  text = other.text;
  return *this;
}

BsonItem& BsonItem::operator=(BsonItem&& other) noexcept {
  type = other.type;
  value = other.value;
  text = std::move(other.text);
  return *this;
}

bool BsonItem::GetMapSize(int& size) const {
  if (type != kMap) return false;
  size = value.count;
  return true;
}

bool BsonItem::GetTupleSize(int& size) const {
  if (type != kTuple) return false;
  size = value.count;
  return true;
}

void BsonUnpacker::UnpackNextItem(BsonItem& out) {
  // The item's own Clear lives in quillmark, which this library must not depend on.
  out.type = BsonItem::kNone;
  out.text.clear();
  Input in(cursor, end);
  if (decode(in, out)) {
    cursor = in.cursor();
  } else {
    out.type = BsonItem::kNone;
    out.text.clear();
  }
}

}  // namespace core
