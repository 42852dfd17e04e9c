// Encoded documents of the host's base library and the cursor that decodes them.
//
// The wire format is MessagePack. Its type model maps onto the item type codes below: nil, bool,
// eight integer kinds, two floating-point kinds, string, array (a tuple) and map.
//
// quillmark builds and exports the simple members (QUILLMARK_API); the base library exports the
// decoding and the item copies (CORE_API).
#pragma once

#include <core/export.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace core {

// The bytes of one encoded document.
struct BsonBox {
  QUILLMARK_API BsonBox();
  QUILLMARK_API BsonBox(const BsonBox& other);
  QUILLMARK_API BsonBox(BsonBox&& other);
  // Converting, not explicit: the base library declares them so and host code relies on it.
  QUILLMARK_API BsonBox(const std::vector<unsigned char>& bytes);
  QUILLMARK_API BsonBox(std::vector<unsigned char>&& bytes);
  QUILLMARK_API ~BsonBox();
  QUILLMARK_API BsonBox& operator=(const BsonBox& other);
  QUILLMARK_API BsonBox& operator=(BsonBox&& other);

  // First byte, or null while there is no buffer.
  QUILLMARK_API const unsigned char* Data() const;
  QUILLMARK_API std::size_t Size() const;

  std::vector<unsigned char> bytes;
};

// Output buffer that the base library's packing operations append to.
class BsonPacker {
 public:
  QUILLMARK_API BsonPacker();
  QUILLMARK_API BsonPacker(const BsonPacker& other);
  QUILLMARK_API BsonPacker(BsonPacker&& other);
  QUILLMARK_API ~BsonPacker();
  QUILLMARK_API BsonPacker& operator=(const BsonPacker& other);
  QUILLMARK_API BsonPacker& operator=(BsonPacker&& other);

  QUILLMARK_API const unsigned char* Data() const;
  QUILLMARK_API std::size_t Size() const;
  // Size becomes 0; the buffer and its capacity stay.
  QUILLMARK_API void Clear();
  // Grows the buffer to exactly `n` bytes when `n` exceeds the capacity. Throws std::length_error
  // when `n` is above the vector's maximum.
  QUILLMARK_API void Reserve(std::size_t n);
  // Hands the buffer to a box; the packer is left with no buffer.
  QUILLMARK_API BsonBox Take();

  std::vector<unsigned char> buffer;
};

// One decoded item.
class BsonItem {
 public:
  enum TypeCode : std::int32_t {
    kNone = 0,
    kNull = 1,
    kBool = 2,
    kInt8 = 3,
    kInt16 = 4,
    kInt32 = 5,
    kInt64 = 6,
    kUInt8 = 7,
    kUInt16 = 8,
    kUInt32 = 9,
    kUInt64 = 10,
    kFloat32 = 11,
    kFloat64 = 12,
    kString = 13,
    kTuple = 14,
    kMap = 15,
  };

  union Value {
    bool boolean;
    std::int64_t integer;
    std::uint64_t unsigned_integer;
    double real;
    std::int32_t count;  // elements of a tuple or map
  };

  QUILLMARK_API BsonItem();
  CORE_API BsonItem(const BsonItem& other);
  CORE_API BsonItem(BsonItem&& other) noexcept;
  CORE_API BsonItem& operator=(const BsonItem& other);
  CORE_API BsonItem& operator=(BsonItem&& other) noexcept;
  QUILLMARK_API ~BsonItem();

  // Type code 0 and empty text (its capacity stays); the value is left unchanged.
  QUILLMARK_API void Clear();
  // Not explicit, as the base library declares it: an item converts wherever a bool is taken.
  QUILLMARK_API operator bool() const;
  QUILLMARK_API bool IsNull() const;
  QUILLMARK_API bool IsBool() const;
  QUILLMARK_API bool IsInteger() const;
  QUILLMARK_API bool IsFloat() const;
  QUILLMARK_API bool IsString() const;
  QUILLMARK_API bool IsTuple() const;
  QUILLMARK_API bool IsMap() const;

  // True with the element count when the item is a map (tuple).
  CORE_API bool GetMapSize(int& size) const;
  CORE_API bool GetTupleSize(int& size) const;

  std::int32_t type;
  Value value;
  std::string text;
};

struct BsonMapSize {
  QUILLMARK_API BsonMapSize();
  QUILLMARK_API BsonMapSize(int size);
  QUILLMARK_API BsonMapSize& operator=(const BsonMapSize& other);
  QUILLMARK_API BsonMapSize& operator=(BsonMapSize&& other);
  QUILLMARK_API operator int() const;

  int size;
};

struct BsonTupleSize {
  QUILLMARK_API BsonTupleSize();
  QUILLMARK_API BsonTupleSize(int size);
  QUILLMARK_API BsonTupleSize& operator=(const BsonTupleSize& other);
  QUILLMARK_API BsonTupleSize& operator=(BsonTupleSize&& other);
  QUILLMARK_API operator int() const;

  int size;
};

// A reading cursor over bytes it does not own: they must stay alive and unchanged while it reads.
// A failed read sets a sticky flag that only construction, Open and Rewind clear; reads never
// look at the flag first.
class BsonUnpacker {
 public:
  QUILLMARK_API BsonUnpacker();
  // Converting, not explicit, as the base library declares it.
  QUILLMARK_API BsonUnpacker(const BsonBox& box);
  QUILLMARK_API BsonUnpacker(const unsigned char* data, std::size_t size);
  QUILLMARK_API BsonUnpacker(const BsonUnpacker& other);
  QUILLMARK_API BsonUnpacker(BsonUnpacker&& other);
  QUILLMARK_API BsonUnpacker& operator=(const BsonUnpacker& other);
  QUILLMARK_API BsonUnpacker& operator=(BsonUnpacker&& other);
  QUILLMARK_API ~BsonUnpacker();

  QUILLMARK_API void Open(const BsonBox& box);
  QUILLMARK_API void Open(const unsigned char* data, std::size_t size);
  QUILLMARK_API void Rewind();
  QUILLMARK_API bool Eos() const;
  QUILLMARK_API bool Failed() const;

  // Decodes into the unpacker's own item: a pointer to it, or null (and failed) when nothing
  // could be decoded.
  QUILLMARK_API BsonItem* GetNextItem();
  // Expects a nil item.
  QUILLMARK_API BsonUnpacker& operator>>(std::nullptr_t);
  QUILLMARK_API BsonUnpacker& operator>>(BsonMapSize& size);
  QUILLMARK_API BsonUnpacker& operator>>(BsonTupleSize& size);
  // Decodes straight into `out`; the unpacker's own item is untouched.
  QUILLMARK_API BsonUnpacker& operator>>(BsonItem& out);

  // Decodes the item at the cursor into `item` and moves past it. Leaves type code 0 (and the
  // cursor where it was) when the input is truncated or malformed; never reads past `end`.
  CORE_API void UnpackNextItem(BsonItem& item);

  const unsigned char* begin;
  const unsigned char* end;
  const unsigned char* cursor;
  BsonItem item;
  bool failed;
};

}  // namespace core
