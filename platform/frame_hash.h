// The hash of a list of return addresses, shared by the capture (Linux's back-trace hash) and the
// stack pool. Each address is mixed on its own and the results summed, so the processor works on
// all of them at once instead of one after the other (a chained hash of 16 frames waits some 60
// cycles on its multiplications); the position enters each term, so reordered frames differ.
#pragma once

#include <cstdint>

namespace quillmark::platform {

inline std::uint32_t hash_of_frames(const std::uint64_t* frames, std::uint32_t count) {
  constexpr std::uint64_t kOdd = 0x9E3779B97F4A7C15ULL;
  std::uint64_t sum = count;
  for (std::uint32_t i = 0; i < count; ++i) sum += ((frames[i] + i) * kOdd) ^ (frames[i] >> 29);
  sum ^= sum >> 31;
  sum *= 0xBF58476D1CE4E5B9ULL;
  sum ^= sum >> 30;
  return static_cast<std::uint32_t>(sum ^ (sum >> 32));
}

}  // namespace quillmark::platform
