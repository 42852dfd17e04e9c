#include "debuginfo/compressed_section.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace quillmark::debuginfo {

namespace {

constexpr std::size_t kHeaderSize = 12;

std::uint64_t big_endian_64(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | bytes[i];
  return value;
}

// Inflates the whole stream into `plain`, which has the claimed size: true only when the stream
// ends exactly there.
bool inflate_exactly(const unsigned char* stream, std::size_t size,
                     std::vector<unsigned char>& plain) {
  z_stream inflater = {};
  if (inflateInit(&inflater) != Z_OK) return false;
  constexpr std::size_t kMostPerCall = std::numeric_limits<uInt>::max();
  std::size_t in_left = size;
  std::size_t out_left = plain.size();
  inflater.next_in = const_cast<Bytef*>(stream);
  inflater.next_out = plain.data();
  int status = Z_OK;
  while (status == Z_OK) {
    // zlib counts in 32 bits: a larger section goes through in pieces.
    const auto in_now = static_cast<uInt>(std::min(in_left, kMostPerCall));
    const auto out_now = static_cast<uInt>(std::min(out_left, kMostPerCall));
    inflater.avail_in = in_now;
    inflater.avail_out = out_now;
    status = inflate(&inflater, Z_NO_FLUSH);
    in_left -= in_now - inflater.avail_in;
    out_left -= out_now - inflater.avail_out;
    if (status == Z_OK && in_now == inflater.avail_in && out_now == inflater.avail_out) break;
  }
  inflateEnd(&inflater);
  return status == Z_STREAM_END && out_left == 0;
}

}  // namespace

bool inflate_gnu_section(const SectionBytes& compressed, std::vector<unsigned char>& plain) {
  plain.clear();
  if (compressed.empty() || compressed.size < kHeaderSize ||
      std::memcmp(compressed.data, "ZLIB", 4) != 0) {
    return false;
  }
  const std::uint64_t claimed = big_endian_64(compressed.data + 4);
  if (claimed == 0 || claimed > kMostInflatedSectionBytes) return false;
  try {
    plain.resize(static_cast<std::size_t>(claimed));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (inflate_exactly(compressed.data + kHeaderSize, compressed.size - kHeaderSize, plain)) {
    return true;
  }
  plain.clear();
  plain.shrink_to_fit();
  return false;
}

}  // namespace quillmark::debuginfo
