// Whether a host's C string is one of the registry's names, eight bytes at a time.
//
// Every registration and removal compares its name with a group's: byte by byte that was a third
// of a registration's cost with a seven-letter name. Reading a C string a word at a time is safe
// when every word read is aligned and holds at least one byte of the string: an aligned word
// never spans two pages, so its bytes after the terminator are mapped too (the C library's own
// string functions rely on this). Those bytes are never looked at.
//
// The registry's copies of its names end with a terminator and kNamePadding - 1 more readable
// bytes, so that they can be read a word at a time from any offset.
#pragma once

// Both targets are x86-64: the word read below is one of its instructions, and the byte order of
// the masks is its little-endian one.
#if !defined(__x86_64__)
#error "name_matches reads words with an x86-64 instruction"
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace resmonitor {

// Bytes a name copy keeps after its last character: the terminator, then room for a whole word.
constexpr std::size_t kNamePadding = 8;

namespace name_match_detail {

// The aligned word at `word`. Read by an instruction the compiler does not see into: as far as
// the language goes, the bytes past the string's terminator belong to no object (the sanitizers
// would flag them), while to the processor they are part of a mapped page.
inline std::uint64_t aligned_word(const char* word) {
  std::uint64_t value;
  asm("movq %1, %0" : "=r"(value) : "m"(*reinterpret_cast<const std::uint64_t*>(word)));
  return value;
}

// Eight bytes of a padded name copy, from any offset.
inline std::uint64_t padded_word(const char* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

}  // namespace name_match_detail

// Whether the C string `name` is `key`, whose bytes are followed by a terminator and
// kNamePadding - 1 readable bytes. Reads no aligned word of `name` past the one that holds its
// terminator or its first byte that differs.
inline bool name_matches(std::string_view key, const char* name) {
  using name_match_detail::aligned_word;
  using name_match_detail::padded_word;
  constexpr std::uint64_t kAllBytes = ~std::uint64_t{0};
  const std::size_t skipped = reinterpret_cast<std::uintptr_t>(name) & 7;  // before the name
  const char* word = name - skipped;
  // `position` is the name offset of the word's first byte; byte i of a word is bits 8i to 8i+7.
  auto position = -static_cast<std::ptrdiff_t>(skipped);
  std::uint64_t key_bytes = padded_word(key.data()) << (8 * skipped);
  std::uint64_t compared = kAllBytes << (8 * skipped);
  const auto terminator = static_cast<std::ptrdiff_t>(key.size());
  for (;;) {
    const std::ptrdiff_t last = terminator - position;  // the terminator's byte in this word
    if (last < 8) compared &= kAllBytes >> (8 * (7 - last));
    if (((aligned_word(word) ^ key_bytes) & compared) != 0) return false;
    // Equal up to the key's terminator, which the name then has at the same place.
    if (last < 8) return true;
    // Eight more characters of the name, none of them a terminator (the key has none): the name
    // goes on into the next word.
    word += 8;
    position += 8;
    key_bytes = padded_word(key.data() + position);
    compared = kAllBytes;
  }
}

}  // namespace resmonitor
