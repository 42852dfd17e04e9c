// The unwind rules of the program counters seen in earlier captures, in a fixed table shared by
// all threads, so that a capture through known code reads no unwind table at all.
//
// Only the shapes of nearly every x86-64 frame are kept: the canonical frame address (CFA) is the
// stack pointer or the frame pointer plus a constant, the return address is saved just below
// it, and the frame pointer is either untouched or saved at a fixed place below the CFA. A frame
// of another shape (signal trampolines, realigned stacks) is remembered as such, so the capture
// that meets it hands the whole stack to the general unwinder without looking its rules up again.
//
// Each entry keeps the eight bytes of code before its program counter (for a return address: the
// call) and is used only while they are still there: code loaded later at the addresses of an
// unloaded module finds no rule of the old code. That check reads memory the frame's own code
// occupies, so it needs no lock of the dynamic loader (a lock a fork could leave held).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quillmark::platform::posix {

// One frame's rule in one word, as the table stores it: the kind (2 bits), two flags, the
// return address's offset from the CFA (8 bits), the saved frame pointer's (16 bits) and the
// CFA's offset from its register (32 bits).
class CachedRule {
 public:
  enum Kind : std::uint8_t {
    kUnknown,     // not in the table
    kSimple,      // the fields below apply
    kOutermost,   // the frame has no caller (its return address is undefined)
    kUnsupported  // another shape, or no unwind data: the general unwinder takes the stack
  };

  CachedRule() = default;
  explicit CachedRule(Kind kind) : word_(kind) {}
  CachedRule(bool cfa_from_frame_pointer, std::uint32_t cfa_offset, std::int8_t return_address_at,
             bool frame_pointer_saved, std::int16_t frame_pointer_at)
      : word_(kSimple | std::uint64_t{cfa_from_frame_pointer} << 2 |
              std::uint64_t{frame_pointer_saved} << 3 |
              std::uint64_t{static_cast<std::uint8_t>(return_address_at)} << 8 |
              std::uint64_t{static_cast<std::uint16_t>(frame_pointer_at)} << 16 |
              std::uint64_t{cfa_offset} << 32) {}

  static CachedRule from_word(std::uint64_t word) {
    CachedRule rule;
    rule.word_ = word;
    return rule;
  }
  std::uint64_t word() const { return word_; }

  Kind kind() const { return static_cast<Kind>(word_ & 3); }
  bool cfa_from_frame_pointer() const { return ((word_ >> 2) & 1) != 0; }
  bool frame_pointer_saved() const { return ((word_ >> 3) & 1) != 0; }
  std::int8_t return_address_at() const {
    return static_cast<std::int8_t>(static_cast<std::uint8_t>(word_ >> 8));
  }
  std::int16_t frame_pointer_at() const {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(word_ >> 16));
  }
  std::uint32_t cfa_offset() const { return static_cast<std::uint32_t>(word_ >> 32); }

 private:
  std::uint64_t word_ = kUnknown;
};

class UnwindRuleCache {
 public:
  static constexpr std::size_t kEntries = 4096;  // 128 KiB

  // The rule of the frame whose program counter is `pc`: a return address (`is_return_address`,
  // looked up one byte back, inside the call) or the frame's current instruction. `pc` must lie
  // in mapped code (a live frame's): the eight bytes before it are read. Reads the module's
  // unwind table on a miss.
  CachedRule rule_at(std::uintptr_t pc, bool is_return_address) {
    const std::uint64_t key = key_of(pc, is_return_address);
    if (key == 0) return CachedRule(CachedRule::kUnsupported);
    const std::uint64_t code = code_before(pc);
    std::uint64_t word = 0;
    if (lookup(key, code, word)) return CachedRule::from_word(word);
    return miss(key, code, pc, is_return_address);
  }

  // The table every capture of the process uses.
  static UnwindRuleCache& process_cache();

  // Lookups that had to read an unwind table (rare, so the count costs nothing), for tests.
  std::uint64_t misses() const { return misses_.load(std::memory_order_relaxed); }

 private:
  // User-space addresses of x86-64 Linux lie below 2^47; the key's upper bits carry the rest.
  static constexpr unsigned kPcBits = 47;
  static constexpr std::uint64_t kPcMask = (std::uint64_t{1} << kPcBits) - 1;

  // Written as a sequence: the entry is claimed, the rule stored, the key set; a reader that
  // sees the same key before and after reading the rule has a rule written for that key.
  struct alignas(32) Entry {
    std::atomic<std::uint64_t> key{0};
    std::atomic<std::uint64_t> rule{0};
    std::atomic<std::uint64_t> code{0};
  };

  // 0 for a program counter the table cannot hold.
  static std::uint64_t key_of(std::uintptr_t pc, bool is_return_address) {
    if (pc < sizeof(std::uint64_t) || (pc & ~kPcMask) != 0) return 0;
    return pc | std::uint64_t{is_return_address} << kPcBits;
  }
  static std::uint64_t code_before(std::uintptr_t pc) {
    std::uint64_t code;
    __builtin_memcpy(&code, reinterpret_cast<const void*>(pc - sizeof code), sizeof code);
    return code;
  }
  // Two entries per set, one cache line: two program counters of one hot stack that hash alike
  // do not keep evicting each other. Fibonacci hashing spreads neighbouring ones over the sets.
  static constexpr std::size_t kWays = 2;
  static std::size_t set_of(std::uint64_t key) {
    return (static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 52) & (kEntries - 1)) &
           ~(kWays - 1);
  }
  static bool read_entry(const Entry& entry, std::uint64_t key, std::uint64_t code,
                         std::uint64_t& word) {
    if (entry.key.load(std::memory_order_acquire) != key) return false;
    // Acquire: seeing a newer rule or code means seeing the claim before them at the key's
    // second reading, which comes after both.
    word = entry.rule.load(std::memory_order_acquire);
    const bool same_code = entry.code.load(std::memory_order_acquire) == code;
    return entry.key.load(std::memory_order_relaxed) == key && same_code;
  }
  bool lookup(std::uint64_t key, std::uint64_t code, std::uint64_t& word) const {
    const Entry* set = &entries_[set_of(key)];
    return read_entry(set[0], key, code, word) || read_entry(set[1], key, code, word);
  }
  CachedRule miss(std::uint64_t key, std::uint64_t code, std::uintptr_t pc, bool is_return_address);
  void store(std::uint64_t key, std::uint64_t code, CachedRule rule);

  alignas(64) Entry entries_[kEntries];
  std::atomic<std::uint64_t> misses_{0};
};

// Reads the rule of `pc` from the module's unwind table (no cache).
CachedRule read_rule(std::uintptr_t pc, bool is_return_address);

}  // namespace quillmark::platform::posix
