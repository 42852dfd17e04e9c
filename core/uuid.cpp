#include <core/uuid.h>

#include <cstdint>
#include <cstring>

namespace core {

Uuid::Uuid() : bytes{} {}

Uuid& Uuid::operator=(const Uuid& other) {
  std::memcpy(bytes, other.bytes, sizeof bytes);
  return *this;
}

const unsigned char* Uuid::Data() const { return bytes; }

bool Uuid::IsNil() const {
  for (unsigned char byte : bytes) {
    if (byte != 0) return false;
  }
  return true;
}

void Uuid::SetNil() { std::memset(bytes, 0, sizeof bytes); }

std::size_t Uuid::Hash() const {
  constexpr std::uint64_t kOffsetBasis = 0xcbf29ce484222325ull;
  constexpr std::uint64_t kPrime = 0x100000001b3ull;
  std::uint64_t hash = kOffsetBasis;
  for (int i = 0; i < 8; ++i) {
    hash ^= static_cast<unsigned char>(bytes[i] ^ bytes[i + 8]);
    hash *= kPrime;
  }
  return static_cast<std::size_t>(hash);
}

UuidString::UuidString() { text[0] = '\0'; }

UuidString& UuidString::operator=(const UuidString& other) {
  std::memcpy(text, other.text, sizeof text);
  return *this;
}

const char* UuidString::Data() const { return text; }

}  // namespace core
