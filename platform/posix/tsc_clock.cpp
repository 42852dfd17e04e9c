#include "platform/posix/tsc_clock.h"

namespace quillmark::platform::posix {

namespace {

// 128-bit products keep the rate's 32 fraction bits over any span.
__extension__ typedef unsigned __int128 Wide;

// 1/1000: twice what time synchronisation slews the clock by.
constexpr std::uint64_t kMostRateChange = 1000;

std::uint64_t scaled(std::uint64_t counts, std::uint64_t ns_per_count_q32) {
  return static_cast<std::uint64_t>((static_cast<Wide>(counts) * ns_per_count_q32) >> 32);
}

}  // namespace

std::int64_t TscClock::now_ns() {
  const int state = state_.load(std::memory_order_relaxed);
  if (state == kUnusable) return realtime_();
  if (state == kUndecided) {
    state_.store(eligible_() ? kUsable : kUnusable);
    return now_ns();
  }
  const std::uint64_t sequence = sequence_.load(std::memory_order_acquire);
  // Acquire loads keep the sequence's second reading after them.
  const std::uint64_t anchor_count = anchor_count_.load(std::memory_order_acquire);
  const std::int64_t anchor_ns = anchor_ns_.load(std::memory_order_acquire);
  const std::uint64_t rate = ns_per_count_q32_.load(std::memory_order_acquire);
  const std::uint64_t life = anchor_life_counts_.load(std::memory_order_acquire);
  if ((sequence & 1) != 0 || sequence_.load(std::memory_order_relaxed) != sequence) {
    return realtime_();  // an anchor is being written
  }
  const std::uint64_t count = counter_();
  const std::uint64_t elapsed = count - anchor_count;
  if (rate == 0 || count < anchor_count || elapsed > life) return anchor_again(sequence);
  return anchor_ns + static_cast<std::int64_t>(scaled(elapsed, rate));
}

// The thread that wins the sequence writes the new anchor; every other one reads the system
// clock meanwhile. Until the rate is known the first anchor stays, so that the span it is
// measured over grows to kCalibrationSpanNs.
std::int64_t TscClock::anchor_again(std::uint64_t sequence) {
  const std::int64_t now = realtime_();
  const std::uint64_t count = counter_();
  const std::uint64_t previous_count = anchor_count_.load(std::memory_order_relaxed);
  const std::int64_t previous_ns = anchor_ns_.load(std::memory_order_relaxed);
  std::uint64_t rate = ns_per_count_q32_.load(std::memory_order_relaxed);
  const bool measurable = previous_count != 0 && count > previous_count && now > previous_ns;
  if (rate == 0 && measurable && now - previous_ns < kCalibrationSpanNs) return now;
  if (!sequence_.compare_exchange_strong(sequence, sequence + 1)) return now;
  if (measurable && now - previous_ns >= kCalibrationSpanNs) {
    const auto measured = static_cast<std::uint64_t>((static_cast<Wide>(now - previous_ns) << 32) /
                                                     (count - previous_count));
    // A rate far from the last one was measured across a clock set by hand, not a slew (at most
    // 500 ppm): the anchor moves, the rate stays.
    if (rate == 0 ||
        (measured > rate - rate / kMostRateChange && measured < rate + rate / kMostRateChange)) {
      rate = measured;
    }
  }
  anchor_count_.store(count, std::memory_order_release);
  anchor_ns_.store(now, std::memory_order_release);
  ns_per_count_q32_.store(rate, std::memory_order_release);
  const std::uint64_t life =
      rate == 0 ? 0 : static_cast<std::uint64_t>((static_cast<Wide>(kAnchorLifeNs) << 32) / rate);
  anchor_life_counts_.store(life, std::memory_order_release);
  sequence_.store(sequence + 2, std::memory_order_release);
  return now;
}

}  // namespace quillmark::platform::posix
