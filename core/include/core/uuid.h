// Identifier storage of the host's base library. Generating and parsing identifiers is the base
// library's business; these types only hold the bytes and the text.
#pragma once

#include <core/export.h>

#include <cstddef>

namespace core {

class Uuid {
 public:
  QUILLMARK_API Uuid();
  QUILLMARK_API Uuid& operator=(const Uuid& other);

  QUILLMARK_API const unsigned char* Data() const;
  QUILLMARK_API bool IsNil() const;
  QUILLMARK_API void SetNil();
  // 64-bit FNV-1a over the first half XOR the second half of the identifier.
  QUILLMARK_API std::size_t Hash() const;

  unsigned char bytes[16];
};

class UuidString {
 public:
  // Empty text: the first char is NUL, the rest of the buffer is not initialised.
  QUILLMARK_API UuidString();
  // Copies the whole buffer.
  QUILLMARK_API UuidString& operator=(const UuidString& other);
  QUILLMARK_API const char* Data() const;

  char text[40];
};

}  // namespace core
