#include "platform/posix/stack_walk.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "debuginfo/dwarf_bytes.h"
#include "platform/posix/call_frame_rules.h"

namespace quillmark::platform::posix {

using debuginfo::read_fixed;
using debuginfo::read_sleb;
using debuginfo::read_u8;
using debuginfo::read_uleb;

namespace {

constexpr std::size_t kPage = 4096;
// The part of the stack copied in one system call: frames above it are read word by word.
constexpr std::size_t kCopiedPages = 16;
// How far above a frame's stack pointer its saved frame pointer is looked for.
constexpr std::uint64_t kFramePointerSearch = 16 * 1024;
// A saved frame pointer belongs to an outer frame, within this distance on the same stack.
constexpr std::uint64_t kLargestFrame = 8 * 1024 * 1024;
constexpr std::size_t kExpressionDepth = 16;

// This process's memory, read without the risk of a fault.
class Memory {
 public:
  explicit Memory(std::uint64_t sp) : base_(sp & ~(kPage - 1)), copy_(kCopiedPages * kPage) {
    iovec local{copy_.data(), copy_.size()};
    iovec remote[kCopiedPages];
    for (std::size_t page = 0; page < kCopiedPages; ++page) {
      remote[page] = {reinterpret_cast<void*>(base_ + page * kPage), kPage};
    }
    // Stops at the first page that is not mapped: the copy ends at the stack's top.
    const ssize_t copied = process_vm_readv(getpid(), &local, 1, remote, kCopiedPages, 0);
    copied_ = copied > 0 ? static_cast<std::size_t>(copied) : 0;
  }

  bool read(std::uint64_t address, void* into, std::size_t size) const {
    if (address >= base_ && address - base_ + size <= copied_) {
      std::memcpy(into, copy_.data() + (address - base_), size);
      return true;
    }
    iovec local{into, size};
    iovec remote{reinterpret_cast<void*>(address), size};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
  }

  bool word(std::uint64_t address, std::uint64_t& value) const {
    return read(address, &value, sizeof value);
  }

 private:
  std::uint64_t base_;
  std::vector<unsigned char> copy_;
  std::size_t copied_ = 0;
};

struct Registers {
  std::uint64_t value[kTrackedRegisters] = {};
  bool known[kTrackedRegisters] = {};

  void set(unsigned reg, std::uint64_t to) {
    value[reg] = to;
    known[reg] = true;
  }
};

// Evaluates the operations unwind tables use (register plus offset, loads, arithmetic and
// comparisons, as in PLT entries and signal trampolines). False for anything else.
class ExpressionEvaluator {
 public:
  ExpressionEvaluator(const Registers& registers, const Memory& memory)
      : registers_(registers), memory_(memory) {}

  bool evaluate(const Expression& expression, const std::uint64_t* initial, std::uint64_t& result) {
    depth_ = 0;
    if (initial != nullptr && !push(*initial)) return false;
    const unsigned char* at = expression.begin;
    while (at < expression.end) {
      if (!step(at, expression.end)) return false;
    }
    if (depth_ == 0) return false;
    result = stack_[depth_ - 1];
    return true;
  }

 private:
  bool push(std::uint64_t value) {
    if (depth_ == kExpressionDepth) return false;
    stack_[depth_++] = value;
    return true;
  }

  bool pop(std::uint64_t& value) {
    if (depth_ == 0) return false;
    value = stack_[--depth_];
    return true;
  }

  bool push_register(unsigned reg, std::int64_t offset) {
    if (reg >= kTrackedRegisters || !registers_.known[reg]) return false;
    return push(registers_.value[reg] + static_cast<std::uint64_t>(offset));
  }

  bool binary(std::uint64_t opcode) {
    std::uint64_t right = 0;
    std::uint64_t left = 0;
    if (!pop(right) || !pop(left)) return false;
    const auto sl = static_cast<std::int64_t>(left);
    const auto sr = static_cast<std::int64_t>(right);
    switch (opcode) {
      case 0x1a:
        return push(left & right);
      case 0x1c:
        return push(left - right);
      case 0x1e:
        return push(left * right);
      case 0x21:
        return push(left | right);
      case 0x22:
        return push(left + right);
      case 0x24:
        return push(right < 64 ? left << right : 0);
      case 0x25:
        return push(right < 64 ? left >> right : 0);
      case 0x27:
        return push(left ^ right);
      case 0x29:
        return push(sl == sr);
      case 0x2a:
        return push(sl >= sr);
      case 0x2b:
        return push(sl > sr);
      case 0x2c:
        return push(sl <= sr);
      case 0x2d:
        return push(sl < sr);
      case 0x2e:
        return push(sl != sr);
      default:
        return false;
    }
  }

  bool step(const unsigned char*& at, const unsigned char* end) {
    std::uint64_t opcode = 0;
    std::uint64_t value = 0;
    std::int64_t offset = 0;
    if (!read_u8(at, end, opcode)) return false;
    if (opcode >= 0x30 && opcode <= 0x4f) return push(opcode - 0x30);  // DW_OP_lit<n>
    if (opcode >= 0x70 && opcode <= 0x8f) {                            // DW_OP_breg<n>
      return read_sleb(at, end, offset) &&
             push_register(static_cast<unsigned>(opcode - 0x70), offset);
    }
    switch (opcode) {
      case 0x06:  // DW_OP_deref
        return pop(value) && memory_.word(value, value) && push(value);
      case 0x08:
        return read_fixed(at, end, 1, value) && push(value);
      case 0x0a:
        return read_fixed(at, end, 2, value) && push(value);
      case 0x0c:
        return read_fixed(at, end, 4, value) && push(value);
      case 0x0e:
        return read_fixed(at, end, 8, value) && push(value);
      case 0x09:
        return read_fixed(at, end, 1, value) &&
               push(static_cast<std::uint64_t>(static_cast<std::int8_t>(value)));
      case 0x0b:
        return read_fixed(at, end, 2, value) &&
               push(static_cast<std::uint64_t>(static_cast<std::int16_t>(value)));
      case 0x0d:
        return read_fixed(at, end, 4, value) &&
               push(static_cast<std::uint64_t>(static_cast<std::int32_t>(value)));
      case 0x10:
        return read_uleb(at, end, value) && push(value);
      case 0x11:
        return read_sleb(at, end, offset) && push(static_cast<std::uint64_t>(offset));
      case 0x12:
        return depth_ > 0 && push(stack_[depth_ - 1]);
      case 0x13:
        return pop(value);
      case 0x23: {  // DW_OP_plus_uconst
        std::uint64_t top = 0;
        return read_uleb(at, end, value) && pop(top) && push(top + value);
      }
      case 0x92: {  // DW_OP_bregx
        std::uint64_t reg = 0;
        return read_uleb(at, end, reg) && read_sleb(at, end, offset) &&
               push_register(static_cast<unsigned>(reg), offset);
      }
      case 0x96:
        return true;  // DW_OP_nop
      default:
        return binary(opcode);
    }
  }

  const Registers& registers_;
  const Memory& memory_;
  std::uint64_t stack_[kExpressionDepth] = {};
  std::size_t depth_ = 0;
};

class Walker {
 public:
  Walker(std::uint64_t sp, std::uint64_t pc) : memory_(sp) {
    registers_.set(kRsp, sp);
    registers_.set(kReturnAddressColumn, pc);
  }

  const char* walk(ThreadStack& out) {
    out.count = 0;
    bool interrupted = true;  // the innermost frame, and a frame a signal interrupted
    while (out.count < ThreadStack::kMaxFrames) {
      const std::uint64_t pc = registers_.value[kReturnAddressColumn];
      out.frames[out.count++] = pc;
      FrameRules rules;
      if (!find_frame_rules(interrupted ? pc : pc - 1, rules)) return "no unwind data for the code";
      const char* stopped = step(rules);
      if (stopped != nullptr) return *stopped == '\0' ? nullptr : stopped;
      interrupted = rules.signal_frame;
    }
    return nullptr;
  }

 private:
  // Moves the registers to the caller's frame. Returns null on success, "" at the outermost frame
  // and a reason when the caller cannot be found.
  const char* step(const FrameRules& rules) {
    std::uint64_t cfa = 0;
    if (!find_cfa(rules, cfa)) return "a frame's registers are not known from outside the thread";
    const RegisterRule& return_rule = rules.registers[rules.return_address_column];
    if (return_rule.kind == RegisterRule::kUndefined) return "";
    Registers caller;
    for (unsigned reg = 0; reg < kTrackedRegisters; ++reg) {
      std::uint64_t value = 0;
      if (recover(rules.registers[reg], reg, cfa, value)) caller.set(reg, value);
    }
    if (!caller.known[rules.return_address_column]) return "a return address cannot be read";
    const std::uint64_t return_address = caller.value[rules.return_address_column];
    if (return_address == 0) return "";
    if (!rules.signal_frame && cfa <= registers_.value[kRsp]) return "the stack does not unwind";
    caller.set(kRsp, cfa);
    caller.set(kReturnAddressColumn, return_address);
    registers_ = caller;
    return nullptr;
  }

  bool find_cfa(const FrameRules& rules, std::uint64_t& cfa) {
    if (rules.cfa_expression.begin != nullptr) {
      return ExpressionEvaluator(registers_, memory_).evaluate(rules.cfa_expression, nullptr, cfa);
    }
    if (!registers_.known[rules.cfa_register] &&
        !(rules.cfa_register == kRbp && find_frame_pointer(rules))) {
      return false;
    }
    cfa = registers_.value[rules.cfa_register] + static_cast<std::uint64_t>(rules.cfa_offset);
    return true;
  }

  bool recover(const RegisterRule& rule, unsigned reg, std::uint64_t cfa, std::uint64_t& value) {
    ExpressionEvaluator evaluator(registers_, memory_);
    switch (rule.kind) {
      case RegisterRule::kSameValue:
        value = registers_.value[reg];
        return registers_.known[reg];
      case RegisterRule::kUndefined:
        return false;
      case RegisterRule::kAtCfaOffset:
        return memory_.word(cfa + static_cast<std::uint64_t>(rule.offset), value);
      case RegisterRule::kIsCfaOffset:
        value = cfa + static_cast<std::uint64_t>(rule.offset);
        return true;
      case RegisterRule::kInRegister:
        value = registers_.value[rule.reg];
        return registers_.known[rule.reg];
      case RegisterRule::kAtExpression:
        return evaluator.evaluate(rule.expression, &cfa, value) && memory_.word(value, value);
      case RegisterRule::kIsExpression:
        return evaluator.evaluate(rule.expression, &cfa, value);
    }
    return false;
  }

  // The frame's rule reads the frame pointer, which only the thread itself knows. Each candidate
  // slot s above the stack pointer is tried as the frame pointer: the rule then puts the return
  // address and the caller's saved frame pointer at fixed places beside s. The first slot whose
  // return address follows a direct call of this very function wins; failing that, the first whose
  // return address follows any call and whose saved frame pointer links further up the stack.
  bool find_frame_pointer(const FrameRules& rules) {
    const RegisterRule& return_rule = rules.registers[rules.return_address_column];
    const RegisterRule& saved_rule = rules.registers[kRbp];
    if (return_rule.kind != RegisterRule::kAtCfaOffset) return false;
    const std::uint64_t sp = registers_.value[kRsp];
    std::uint64_t weaker = 0;
    for (std::uint64_t slot = (sp + 7) & ~std::uint64_t{7}; slot < sp + kFramePointerSearch;
         slot += 8) {
      const std::uint64_t cfa = slot + static_cast<std::uint64_t>(rules.cfa_offset);
      std::uint64_t return_address = 0;
      if (!memory_.word(cfa + static_cast<std::uint64_t>(return_rule.offset), return_address)) {
        break;
      }
      const CallKind call = call_before(return_address, rules.function_start);
      if (call == CallKind::kDirectToFunction) return use_frame_pointer(slot);
      if (call == CallKind::kOther && weaker == 0 && saved_pointer_links(saved_rule, cfa, slot) &&
          has_unwind_data(return_address - 1)) {
        weaker = slot;
      }
    }
    return weaker != 0 && use_frame_pointer(weaker);
  }

  static bool has_unwind_data(std::uint64_t pc) {
    FrameRules ignored;
    return find_frame_rules(pc, ignored);
  }

  bool use_frame_pointer(std::uint64_t slot) {
    registers_.set(kRbp, slot);
    return true;
  }

  bool saved_pointer_links(const RegisterRule& rule, std::uint64_t cfa, std::uint64_t slot) const {
    if (rule.kind != RegisterRule::kAtCfaOffset) return true;
    std::uint64_t saved = 0;
    if (!memory_.word(cfa + static_cast<std::uint64_t>(rule.offset), saved)) return false;
    return saved == 0 || (saved > slot && saved - slot < kLargestFrame);
  }

  enum class CallKind { kNone, kDirectToFunction, kOther };

  // Whether the bytes before `address` are a call instruction (x86-64 encodings compilers emit),
  // and whether it is a direct call of `function`.
  CallKind call_before(std::uint64_t address, std::uint64_t function) const {
    unsigned char code[7];
    if (address < sizeof code || !memory_.read(address - sizeof code, code, sizeof code)) {
      return CallKind::kNone;
    }
    if (code[2] == 0xe8) {  // call rel32
      std::int32_t displacement = 0;
      std::memcpy(&displacement, code + 3, sizeof displacement);
      if (address + static_cast<std::uint64_t>(static_cast<std::int64_t>(displacement)) ==
          function) {
        return CallKind::kDirectToFunction;
      }
      return CallKind::kOther;
    }
    const auto indirect_call = [](unsigned char opcode, unsigned char modrm) {
      return opcode == 0xff && ((modrm >> 3) & 7) == 2;
    };
    // call *reg, call *disp8(reg), call *disp32(reg) or *rip-relative.
    if (indirect_call(code[5], code[6]) || indirect_call(code[4], code[5]) ||
        indirect_call(code[3], code[4]) || indirect_call(code[1], code[2]) ||
        indirect_call(code[0], code[1])) {
      return CallKind::kOther;
    }
    return CallKind::kNone;
  }

  Memory memory_;
  Registers registers_;
};

}  // namespace

const char* walk_stack(std::uint64_t sp, std::uint64_t pc, ThreadStack& out) {
  return Walker(sp, pc).walk(out);
}

}  // namespace quillmark::platform::posix
