#include "platform/posix/unwind_rule_cache.h"

#include <limits>

#include "platform/posix/call_frame_rules.h"

namespace quillmark::platform::posix {

namespace {

// The key of an entry being written: no lookup has it (no frame is at address 0).
constexpr std::uint64_t kBeingWritten = std::uint64_t{1} << 47;

bool fits_below_cfa(std::int64_t offset, std::int64_t lowest) {
  return offset < 0 && offset >= lowest;
}

}  // namespace

CachedRule read_rule(std::uintptr_t pc, bool is_return_address) {
  FrameRules rules;
  if (!find_frame_rules(is_return_address ? pc - 1 : pc, rules) || rules.signal_frame ||
      rules.return_address_column != kReturnAddressColumn ||
      rules.cfa_expression.begin != nullptr) {
    return CachedRule(CachedRule::kUnsupported);
  }
  const RegisterRule& return_address = rules.registers[kReturnAddressColumn];
  if (return_address.kind == RegisterRule::kUndefined) return CachedRule(CachedRule::kOutermost);
  const RegisterRule& frame_pointer = rules.registers[kRbp];
  const bool frame_pointer_kept = frame_pointer.kind == RegisterRule::kSameValue;
  if (return_address.kind != RegisterRule::kAtCfaOffset ||
      !fits_below_cfa(return_address.offset, std::numeric_limits<std::int8_t>::min()) ||
      (rules.cfa_register != kRsp && rules.cfa_register != kRbp) || rules.cfa_offset < 0 ||
      rules.cfa_offset > std::numeric_limits<std::uint32_t>::max() ||
      (!frame_pointer_kept &&
       (frame_pointer.kind != RegisterRule::kAtCfaOffset ||
        !fits_below_cfa(frame_pointer.offset, std::numeric_limits<std::int16_t>::min())))) {
    return CachedRule(CachedRule::kUnsupported);
  }
  return CachedRule(rules.cfa_register == kRbp, static_cast<std::uint32_t>(rules.cfa_offset),
                    static_cast<std::int8_t>(return_address.offset), !frame_pointer_kept,
                    frame_pointer_kept ? 0 : static_cast<std::int16_t>(frame_pointer.offset));
}

CachedRule UnwindRuleCache::miss(std::uint64_t key, std::uint64_t code, std::uintptr_t pc,
                                 bool is_return_address) {
  misses_.fetch_add(1, std::memory_order_relaxed);
  const CachedRule rule = read_rule(pc, is_return_address);
  store(key, code, rule);
  return rule;
}

// Into a free entry of the set, else (taking turns by the count of misses) one of the two. A
// writer first claims the entry; one that finds it claimed leaves it to the other.
void UnwindRuleCache::store(std::uint64_t key, std::uint64_t code, CachedRule rule) {
  Entry* set = &entries_[set_of(key)];
  std::size_t way = misses_.load(std::memory_order_relaxed) & 1;
  if (set[0].key.load(std::memory_order_relaxed) == 0)
    way = 0;
  else if (set[1].key.load(std::memory_order_relaxed) == 0)
    way = 1;
  Entry& entry = set[way];
  std::uint64_t previous = entry.key.load(std::memory_order_relaxed);
  if (previous == kBeingWritten ||
      !entry.key.compare_exchange_strong(previous, kBeingWritten, std::memory_order_relaxed)) {
    return;
  }
  // Release: a reader that sees the new values sees the entry claimed, or its new key.
  entry.rule.store(rule.word(), std::memory_order_release);
  entry.code.store(code, std::memory_order_release);
  entry.key.store(key, std::memory_order_release);
}

UnwindRuleCache& UnwindRuleCache::process_cache() {
  // Constant-initialised: no guard a forked child could find held, nothing left after an unload.
  static UnwindRuleCache cache;
  return cache;
}

}  // namespace quillmark::platform::posix
