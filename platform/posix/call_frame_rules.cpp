#include "platform/posix/call_frame_rules.h"

#include <cstring>

#include "debuginfo/dwarf_bytes.h"

// libgcc's look-up of the unwind table entry that covers a program counter, through each loaded
// module's .eh_frame_hdr search table. Not in a public header, but exported since GCC 3.0.
struct dwarf_eh_bases {
  void* tbase;
  void* dbase;
  void* func;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, dwarf_eh_bases* bases);

namespace quillmark::platform::posix {

using debuginfo::read_cstring;
using debuginfo::read_fixed;
using debuginfo::read_sleb;
using debuginfo::read_u8;
using debuginfo::read_uleb;

namespace {

using Bytes = const unsigned char*;

constexpr std::uint8_t kOmitEncoding = 0xff;
constexpr std::size_t kStateStackDepth = 8;

// The parts of a common information entry (CIE) that its table entries (FDEs) need.
struct CommonEntry {
  std::uint64_t code_alignment = 1;
  std::int64_t data_alignment = 1;
  std::uint8_t pointer_encoding = 0;  // DW_EH_PE_absptr
  bool has_augmentation_data = false;
  Bytes instructions = nullptr;
  Bytes end = nullptr;
  FrameRules initial;
};

// The bytes of one entry of .eh_frame: past its length field, up to its end. False for the
// terminator or an unreadable length.
bool entry_bounds(Bytes at, Bytes& body, Bytes& end) {
  std::uint32_t length32 = 0;
  std::memcpy(&length32, at, sizeof length32);
  at += sizeof length32;
  std::uint64_t length = length32;
  if (length32 == 0xffffffffu) {
    std::memcpy(&length, at, sizeof length);
    at += sizeof length;
  }
  if (length == 0 || length > (std::uint64_t{1} << 30)) return false;
  body = at;
  end = at + length;
  return true;
}

// A pointer in one of the .eh_frame encodings, read only for its value's size and sign: the
// callers need lengths (pc ranges) or nothing at all (personality routines).
bool read_encoded(Bytes& at, Bytes end, std::uint8_t encoding, std::uint64_t& value) {
  if (encoding == kOmitEncoding) return true;
  std::int64_t signed_value = 0;
  switch (encoding & 0x0f) {
    case 0x00:
      return read_fixed(at, end, 8, value);
    case 0x01:
      return read_uleb(at, end, value);
    case 0x02:
      return read_fixed(at, end, 2, value);
    case 0x03:
      return read_fixed(at, end, 4, value);
    case 0x04:
      return read_fixed(at, end, 8, value);
    case 0x09:
      if (!read_sleb(at, end, signed_value)) return false;
      value = static_cast<std::uint64_t>(signed_value);
      return true;
    case 0x0a:
      if (!read_fixed(at, end, 2, value)) return false;
      value = static_cast<std::uint64_t>(static_cast<std::int16_t>(value));
      return true;
    case 0x0b:
      if (!read_fixed(at, end, 4, value)) return false;
      value = static_cast<std::uint64_t>(static_cast<std::int32_t>(value));
      return true;
    case 0x0c:
      return read_fixed(at, end, 8, value);
    default:
      return false;
  }
}

bool read_augmentation(const char* augmentation, Bytes& at, Bytes end, CommonEntry& cie) {
  if (augmentation[0] != 'z') return augmentation[0] == '\0';
  std::uint64_t length = 0;
  if (!read_uleb(at, end, length) || length > static_cast<std::uint64_t>(end - at)) return false;
  const Bytes data_end = at + length;
  cie.has_augmentation_data = true;
  for (const char* letter = augmentation + 1; *letter != '\0'; ++letter) {
    std::uint64_t ignored = 0;
    switch (*letter) {
      case 'R':
        if (!read_u8(at, data_end, ignored)) return false;
        cie.pointer_encoding = static_cast<std::uint8_t>(ignored);
        break;
      case 'L':
        if (!read_u8(at, data_end, ignored)) return false;
        break;
      case 'P': {
        std::uint64_t encoding = 0;
        if (!read_u8(at, data_end, encoding)) return false;
        if (!read_encoded(at, data_end, static_cast<std::uint8_t>(encoding), ignored)) return false;
        break;
      }
      case 'S':
        cie.initial.signal_frame = true;
        break;
      case 'B':
        break;  // AArch64 pointer authentication; nothing to read
      default:
        at = data_end;
        return true;  // an unknown letter ends what can be understood
    }
  }
  at = data_end;
  return true;
}

// The register a rule names, or false for one that is not tracked (the rule is then read and
// dropped).
bool tracked(std::uint64_t reg) { return reg < kTrackedRegisters; }

bool read_expression(Bytes& at, Bytes end, Expression& expression) {
  std::uint64_t length = 0;
  if (!read_uleb(at, end, length) || length > static_cast<std::uint64_t>(end - at)) return false;
  expression = {at, at + length};
  at += length;
  return true;
}

class InstructionRunner {
 public:
  InstructionRunner(const CommonEntry& cie, std::uintptr_t location, std::uintptr_t pc,
                    FrameRules& rules)
      : cie_(cie), location_(location), pc_(pc), rules_(rules) {}

  // Runs until the end or until a row starts after pc; false on bytes it cannot read.
  bool run(Bytes at, Bytes end) {
    while (at < end) {
      bool past_pc = false;
      if (!step(at, end, past_pc)) return false;
      if (past_pc) return true;
    }
    return true;
  }

 private:
  bool advance(std::uint64_t delta, bool& past_pc) {
    location_ += delta * cie_.code_alignment;
    past_pc = location_ > pc_;
    return true;
  }

  void set(std::uint64_t reg, RegisterRule rule) {
    if (tracked(reg)) rules_.registers[reg] = rule;
  }

  void set_offset(std::uint64_t reg, RegisterRule::Kind kind, std::int64_t factored) {
    RegisterRule rule;
    rule.kind = kind;
    rule.offset = factored * cie_.data_alignment;
    set(reg, rule);
  }

  void restore(std::uint64_t reg) {
    if (tracked(reg)) rules_.registers[reg] = cie_.initial.registers[reg];
  }

  bool step(Bytes& at, Bytes end, bool& past_pc) {
    std::uint64_t opcode = 0;
    if (!read_u8(at, end, opcode)) return false;
    const std::uint64_t operand = opcode & 0x3f;
    switch (opcode >> 6) {
      case 1:
        return advance(operand, past_pc);  // DW_CFA_advance_loc
      case 2: {                            // DW_CFA_offset
        std::uint64_t factored = 0;
        if (!read_uleb(at, end, factored)) return false;
        set_offset(operand, RegisterRule::kAtCfaOffset, static_cast<std::int64_t>(factored));
        return true;
      }
      case 3:
        restore(operand);
        return true;  // DW_CFA_restore
      default:
        return extended(opcode, at, end, past_pc);
    }
  }

  bool extended(std::uint64_t opcode, Bytes& at, Bytes end, bool& past_pc) {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::int64_t s = 0;
    RegisterRule rule;
    switch (opcode) {
      case 0x00:
        return true;  // DW_CFA_nop
      case 0x01:      // DW_CFA_set_loc: only the pc-relative form that GCC would emit
        return false;
      case 0x02:
        return read_fixed(at, end, 1, a) && advance(a, past_pc);
      case 0x03:
        return read_fixed(at, end, 2, a) && advance(a, past_pc);
      case 0x04:
        return read_fixed(at, end, 4, a) && advance(a, past_pc);
      case 0x05:  // DW_CFA_offset_extended
        if (!read_uleb(at, end, a) || !read_uleb(at, end, b)) return false;
        set_offset(a, RegisterRule::kAtCfaOffset, static_cast<std::int64_t>(b));
        return true;
      case 0x06:
        if (!read_uleb(at, end, a)) return false;
        restore(a);
        return true;
      case 0x07:  // DW_CFA_undefined
        if (!read_uleb(at, end, a)) return false;
        rule.kind = RegisterRule::kUndefined;
        set(a, rule);
        return true;
      case 0x08:  // DW_CFA_same_value
        if (!read_uleb(at, end, a)) return false;
        set(a, rule);
        return true;
      case 0x09:  // DW_CFA_register
        if (!read_uleb(at, end, a) || !read_uleb(at, end, b)) return false;
        rule.kind = tracked(b) ? RegisterRule::kInRegister : RegisterRule::kUndefined;
        rule.reg = static_cast<unsigned>(b);
        set(a, rule);
        return true;
      case 0x0a:
        return remember();
      case 0x0b:
        return restore_state();
      case 0x0c:  // DW_CFA_def_cfa
        if (!read_uleb(at, end, a) || !read_uleb(at, end, b)) return false;
        return define_cfa(a, static_cast<std::int64_t>(b));
      case 0x0d:  // DW_CFA_def_cfa_register
        if (!read_uleb(at, end, a)) return false;
        return define_cfa(a, rules_.cfa_offset);
      case 0x0e:  // DW_CFA_def_cfa_offset
        if (!read_uleb(at, end, a)) return false;
        return define_cfa(rules_.cfa_register, static_cast<std::int64_t>(a));
      case 0x0f:  // DW_CFA_def_cfa_expression
        return read_expression(at, end, rules_.cfa_expression);
      case 0x10:  // DW_CFA_expression
      case 0x16:  // DW_CFA_val_expression
        if (!read_uleb(at, end, a) || !read_expression(at, end, rule.expression)) return false;
        rule.kind = opcode == 0x10 ? RegisterRule::kAtExpression : RegisterRule::kIsExpression;
        set(a, rule);
        return true;
      case 0x11:  // DW_CFA_offset_extended_sf
        if (!read_uleb(at, end, a) || !read_sleb(at, end, s)) return false;
        set_offset(a, RegisterRule::kAtCfaOffset, s);
        return true;
      case 0x12:  // DW_CFA_def_cfa_sf
        if (!read_uleb(at, end, a) || !read_sleb(at, end, s)) return false;
        return define_cfa(a, s * cie_.data_alignment);
      case 0x13:  // DW_CFA_def_cfa_offset_sf
        if (!read_sleb(at, end, s)) return false;
        return define_cfa(rules_.cfa_register, s * cie_.data_alignment);
      case 0x14:  // DW_CFA_val_offset
        if (!read_uleb(at, end, a) || !read_uleb(at, end, b)) return false;
        set_offset(a, RegisterRule::kIsCfaOffset, static_cast<std::int64_t>(b));
        return true;
      case 0x15:  // DW_CFA_val_offset_sf
        if (!read_uleb(at, end, a) || !read_sleb(at, end, s)) return false;
        set_offset(a, RegisterRule::kIsCfaOffset, s);
        return true;
      case 0x2e:
        return read_uleb(at, end, a);  // DW_CFA_GNU_args_size
      case 0x2f:                       // DW_CFA_GNU_negative_offset_extended
        if (!read_uleb(at, end, a) || !read_uleb(at, end, b)) return false;
        set_offset(a, RegisterRule::kAtCfaOffset, -static_cast<std::int64_t>(b));
        return true;
      default:
        return false;
    }
  }

  bool define_cfa(std::uint64_t reg, std::int64_t offset) {
    if (!tracked(reg)) return false;
    rules_.cfa_register = static_cast<unsigned>(reg);
    rules_.cfa_offset = offset;
    rules_.cfa_expression = {};
    return true;
  }

  // The CFA and the register rules are one row; remember/restore keep the row's location.
  bool remember() {
    if (saved_count_ == kStateStackDepth) return false;
    saved_[saved_count_++] = rules_;
    return true;
  }

  bool restore_state() {
    if (saved_count_ == 0) return false;
    const FrameRules& saved = saved_[--saved_count_];
    rules_.cfa_register = saved.cfa_register;
    rules_.cfa_offset = saved.cfa_offset;
    rules_.cfa_expression = saved.cfa_expression;
    std::memcpy(rules_.registers, saved.registers, sizeof rules_.registers);
    return true;
  }

  const CommonEntry& cie_;
  std::uintptr_t location_;
  const std::uintptr_t pc_;
  FrameRules& rules_;
  FrameRules saved_[kStateStackDepth];
  std::size_t saved_count_ = 0;
};

bool read_common_entry(Bytes entry, CommonEntry& cie) {
  Bytes at = nullptr;
  Bytes end = nullptr;
  if (!entry_bounds(entry, at, end)) return false;
  std::uint64_t id = 0;
  std::uint64_t version = 0;
  const char* augmentation = nullptr;
  std::uint64_t return_column = 0;
  if (!read_fixed(at, end, 4, id) || id != 0 || !read_u8(at, end, version)) return false;
  if (!read_cstring(at, end, augmentation) || std::strstr(augmentation, "eh") != nullptr) {
    return false;
  }
  if (!read_uleb(at, end, cie.code_alignment) || !read_sleb(at, end, cie.data_alignment)) {
    return false;
  }
  const bool column_read =
      version == 1 ? read_u8(at, end, return_column) : read_uleb(at, end, return_column);
  if (!column_read || !tracked(return_column)) return false;
  cie.initial.return_address_column = static_cast<unsigned>(return_column);
  if (!read_augmentation(augmentation, at, end, cie)) return false;
  cie.instructions = at;
  cie.end = end;
  // The CIE's instructions apply from the start of every function, whatever its pc.
  FrameRules initial = cie.initial;
  InstructionRunner runner(cie, 0, UINTPTR_MAX, initial);
  if (!runner.run(cie.instructions, cie.end)) return false;
  cie.initial = initial;
  return true;
}

}  // namespace

bool find_frame_rules(std::uintptr_t pc, FrameRules& rules) {
  dwarf_eh_bases bases{};
  const auto* fde = static_cast<Bytes>(_Unwind_Find_FDE(reinterpret_cast<void*>(pc), &bases));
  if (fde == nullptr) return false;
  Bytes at = nullptr;
  Bytes end = nullptr;
  if (!entry_bounds(fde, at, end)) return false;
  std::uint32_t cie_offset = 0;
  std::memcpy(&cie_offset, at, sizeof cie_offset);
  CommonEntry cie;
  if (!read_common_entry(at - cie_offset, cie)) return false;
  at += sizeof cie_offset;

  std::uint64_t ignored = 0;
  std::uint64_t range = 0;
  if (!read_encoded(at, end, cie.pointer_encoding, ignored)) return false;
  if (!read_encoded(at, end, cie.pointer_encoding & 0x0f, range)) return false;
  if (cie.has_augmentation_data) {
    std::uint64_t length = 0;
    if (!read_uleb(at, end, length) || length > static_cast<std::uint64_t>(end - at)) {
      return false;
    }
    at += length;
  }
  const auto start = reinterpret_cast<std::uintptr_t>(bases.func);
  if (pc < start || pc - start >= range) return false;
  rules = cie.initial;
  rules.function_start = start;
  InstructionRunner runner(cie, start, pc, rules);
  return runner.run(at, end);
}

}  // namespace quillmark::platform::posix
