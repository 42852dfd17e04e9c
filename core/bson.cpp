// Simple members of the base library's document types.
#include <core/bson.h>

#include <stdexcept>
#include <utility>

namespace core {
namespace {

using Bytes = std::vector<unsigned char>;

// Box and packer assign alike: a copy copies the bytes, a move frees the target's buffer and
// takes the source's, leaving the source with none. Self-assignment changes nothing.
void copy_bytes(Bytes& to, const Bytes& from) {
  if (&to != &from) to = from;
}
void move_bytes(Bytes& to, Bytes& from) {
  if (&to == &from) return;
  Bytes().swap(to);
  to.swap(from);
}

}  // namespace

BsonBox::BsonBox() = default;
BsonBox::BsonBox(const BsonBox& other) : bytes(other.bytes) {}
BsonBox::BsonBox(BsonBox&& other) : bytes(std::move(other.bytes)) {}
BsonBox::BsonBox(const std::vector<unsigned char>& source) : bytes(source) {}
BsonBox::BsonBox(std::vector<unsigned char>&& source) : bytes(std::move(source)) {}
BsonBox::~BsonBox() = default;

BsonBox& BsonBox::operator=(const BsonBox& other) {
  copy_bytes(bytes, other.bytes);
  return *this;
}

BsonBox& BsonBox::operator=(BsonBox&& other) {
  move_bytes(bytes, other.bytes);
  return *this;
}

const unsigned char* BsonBox::Data() const { return bytes.data(); }
std::size_t BsonBox::Size() const { return bytes.size(); }

BsonPacker::BsonPacker() = default;
BsonPacker::BsonPacker(const BsonPacker& other) : buffer(other.buffer) {}
BsonPacker::BsonPacker(BsonPacker&& other) : buffer(std::move(other.buffer)) {}
BsonPacker::~BsonPacker() = default;

BsonPacker& BsonPacker::operator=(const BsonPacker& other) {
  copy_bytes(buffer, other.buffer);
  return *this;
}

BsonPacker& BsonPacker::operator=(BsonPacker&& other) {
  move_bytes(buffer, other.buffer);
  return *this;
}

const unsigned char* BsonPacker::Data() const { return buffer.data(); }
std::size_t BsonPacker::Size() const { return buffer.size(); }
void BsonPacker::Clear() { buffer.clear(); }

void BsonPacker::Reserve(std::size_t n) {
  if (n <= buffer.capacity()) return;
  if (n > buffer.max_size()) throw std::length_error("vector<T> too long");
  Bytes grown;
  grown.reserve(n);
  grown.assign(buffer.begin(), buffer.end());
  buffer.swap(grown);
}

BsonBox BsonPacker::Take() {
  BsonBox box;
  box.bytes.swap(buffer);
  return box;
}

BsonItem::BsonItem() : type(kNone), text() {}
BsonItem::~BsonItem() = default;

void BsonItem::Clear() {
  type = kNone;
  text.clear();
}

// The range tests compare as unsigned, so negative codes satisfy no predicate.
namespace {
bool code_between(std::int32_t code, unsigned low, unsigned high) {
  const auto value = static_cast<std::uint32_t>(code);
  return value >= low && value <= high;
}
}  // namespace

BsonItem::operator bool() const { return type != kNone; }
bool BsonItem::IsNull() const { return type == kNull; }
bool BsonItem::IsBool() const { return type == kBool; }
bool BsonItem::IsInteger() const { return code_between(type, kInt8, kUInt64); }
bool BsonItem::IsFloat() const { return code_between(type, kFloat32, kFloat64); }
bool BsonItem::IsString() const { return type == kString; }
bool BsonItem::IsTuple() const { return type == kTuple; }
bool BsonItem::IsMap() const { return type == kMap; }

BsonMapSize::BsonMapSize() : size(0) {}
BsonMapSize::BsonMapSize(int value) : size(value) {}
BsonMapSize& BsonMapSize::operator=(const BsonMapSize& other) {
  size = other.size;
  return *this;
}
BsonMapSize& BsonMapSize::operator=(BsonMapSize&& other) {
  size = other.size;
  return *this;
}
BsonMapSize::operator int() const { return size; }

BsonTupleSize::BsonTupleSize() : size(0) {}
BsonTupleSize::BsonTupleSize(int value) : size(value) {}
BsonTupleSize& BsonTupleSize::operator=(const BsonTupleSize& other) {
  size = other.size;
  return *this;
}
BsonTupleSize& BsonTupleSize::operator=(BsonTupleSize&& other) {
  size = other.size;
  return *this;
}
BsonTupleSize::operator int() const { return size; }

BsonUnpacker::BsonUnpacker()
    : begin(nullptr), end(nullptr), cursor(nullptr), item(), failed(false) {}

BsonUnpacker::BsonUnpacker(const BsonBox& box) : BsonUnpacker(box.Data(), box.Size()) {}

BsonUnpacker::BsonUnpacker(const unsigned char* data, std::size_t size)
    : begin(data), end(data + size), cursor(data), item(), failed(false) {}

BsonUnpacker::BsonUnpacker(const BsonUnpacker& other)
    : begin(other.begin),
      end(other.end),
      cursor(other.cursor),
      item(other.item),
      failed(other.failed) {}

BsonUnpacker::BsonUnpacker(BsonUnpacker&& other)
    : begin(other.begin),
      end(other.end),
      cursor(other.cursor),
      item(std::move(other.item)),
      failed(other.failed) {}

BsonUnpacker& BsonUnpacker::operator=(const BsonUnpacker& other) {
  begin = other.begin;
  end = other.end;
  cursor = other.cursor;
  item = other.item;
  failed = other.failed;
  return *this;
}

BsonUnpacker& BsonUnpacker::operator=(BsonUnpacker&& other) {
  begin = other.begin;
  end = other.end;
  cursor = other.cursor;
  item = std::move(other.item);
  failed = other.failed;
  return *this;
}

BsonUnpacker::~BsonUnpacker() = default;

void BsonUnpacker::Open(const BsonBox& box) { Open(box.Data(), box.Size()); }

void BsonUnpacker::Open(const unsigned char* data, std::size_t size) {
  begin = data;
  end = data + size;
  cursor = data;
  failed = false;
}

void BsonUnpacker::Rewind() {
  cursor = begin;
  failed = false;
}

bool BsonUnpacker::Eos() const { return cursor == end; }
bool BsonUnpacker::Failed() const { return failed; }

BsonItem* BsonUnpacker::GetNextItem() {
  UnpackNextItem(item);
  if (item) return &item;
  failed = true;
  return nullptr;
}

BsonUnpacker& BsonUnpacker::operator>>(std::nullptr_t) {
  UnpackNextItem(item);
  if (!item.IsNull()) failed = true;
  return *this;
}

BsonUnpacker& BsonUnpacker::operator>>(BsonMapSize& size) {
  UnpackNextItem(item);
  if (!item.GetMapSize(size.size)) failed = true;
  return *this;
}

BsonUnpacker& BsonUnpacker::operator>>(BsonTupleSize& size) {
  UnpackNextItem(item);
  if (!item.GetTupleSize(size.size)) failed = true;
  return *this;
}

BsonUnpacker& BsonUnpacker::operator>>(BsonItem& out) {
  UnpackNextItem(out);
  if (!out) failed = true;
  return *this;
}

}  // namespace core
