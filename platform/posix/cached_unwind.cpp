#include "platform/posix/cached_unwind.h"

#include "platform/posix/unwind_rule_cache.h"

namespace quillmark::platform::posix {

namespace {

// A frame larger than this is taken for a wrong rule, not read through.
constexpr std::uintptr_t kLargestFrame = std::uintptr_t{64} << 20;

struct Registers {
  std::uintptr_t pc;
  std::uintptr_t sp;
  std::uintptr_t fp;
};

// Moves `registers` to the caller of the frame they describe; false when the rule would leave
// the stack. The frame's saved values are read from the thread's own stack.
__attribute__((no_sanitize("address"))) bool step(CachedRule rule, Registers& registers) {
  const std::uintptr_t cfa =
      (rule.cfa_from_frame_pointer() ? registers.fp : registers.sp) + rule.cfa_offset();
  if (cfa <= registers.sp || cfa - registers.sp > kLargestFrame) return false;
  registers.pc = *reinterpret_cast<const std::uintptr_t*>(cfa + rule.return_address_at());
  if (rule.frame_pointer_saved()) {
    registers.fp = *reinterpret_cast<const std::uintptr_t*>(cfa + rule.frame_pointer_at());
  }
  registers.sp = cfa;
  return true;
}

}  // namespace

__attribute__((noinline)) std::uint32_t cached_unwind(std::uint64_t* frames, std::uint32_t capacity,
                                                      std::uint32_t to_skip) {
  Registers registers{};
  // The instruction after the lea is where the stack and frame pointers are read: the unwind
  // rules of that very address describe them.
  asm volatile(
      "lea 0(%%rip), %0\n\t"
      "mov %%rsp, %1\n\t"
      "mov %%rbp, %2"
      : "=&r"(registers.pc), "=&r"(registers.sp), "=&r"(registers.fp));
  UnwindRuleCache& cache = UnwindRuleCache::process_cache();
  bool is_return_address = false;
  std::uint32_t count = 0;
  while (count < capacity) {
    const CachedRule rule = cache.rule_at(registers.pc, is_return_address);
    if (rule.kind() == CachedRule::kOutermost) break;
    if (rule.kind() != CachedRule::kSimple || !step(rule, registers)) return 0;
    if (registers.pc == 0) break;
    if (to_skip > 0) {
      --to_skip;
    } else {
      frames[count++] = registers.pc;
    }
    is_return_address = true;
  }
  return count;
}

}  // namespace quillmark::platform::posix
