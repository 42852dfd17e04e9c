// Bounds-checked readers of DWARF's encodings, shared by the readers of its sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillmark::debuginfo {

// Bounds-checked readers: each returns false (and reads nothing) past `end`.
inline bool read_u8(const unsigned char*& at, const unsigned char* end, std::uint64_t& value) {
  if (at >= end) return false;
  value = *at++;
  return true;
}

inline bool read_fixed(const unsigned char*& at, const unsigned char* end, unsigned size,
                       std::uint64_t& value) {
  if (static_cast<std::size_t>(end - at) < size || size > 8) return false;
  value = 0;
  for (unsigned i = 0; i < size; ++i) value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  at += size;
  return true;
}

inline bool skip_bytes(const unsigned char*& at, const unsigned char* end, std::uint64_t count) {
  if (count > static_cast<std::uint64_t>(end - at)) return false;
  at += count;
  return true;
}

inline bool read_uleb(const unsigned char*& at, const unsigned char* end, std::uint64_t& value) {
  value = 0;
  for (unsigned shift = 0; at < end; shift += 7) {
    const unsigned char byte = *at++;
    if (shift < 64) value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

inline bool read_sleb(const unsigned char*& at, const unsigned char* end, std::int64_t& value) {
  std::uint64_t result = 0;
  unsigned shift = 0;
  unsigned char byte = 0x80;
  while ((byte & 0x80) != 0) {
    if (at >= end) return false;
    byte = *at++;
    if (shift < 64) result |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    shift += 7;
  }
  if (shift < 64 && (byte & 0x40) != 0) result |= ~std::uint64_t{0} << shift;
  value = static_cast<std::int64_t>(result);
  return true;
}

inline bool read_cstring(const unsigned char*& at, const unsigned char* end, const char*& text) {
  const void* nul = std::memchr(at, 0, static_cast<std::size_t>(end - at));
  if (nul == nullptr) return false;
  text = reinterpret_cast<const char*>(at);
  at = static_cast<const unsigned char*>(nul) + 1;
  return true;
}

}  // namespace quillmark::debuginfo
