// The unwind rules of the code at one program counter of this process, read from the .eh_frame
// data the loaded modules carry (the tables C++ exceptions use): how to find the frame's
// canonical frame address (CFA), its return address and the registers it saved.
//
// Only x86-64 registers 0 to 16 (rax ... r15, and the return-address column) are tracked; a rule
// for any other register is ignored. Not async-signal-safe: finding the table entry takes the
// loader's lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillmark::platform::posix {

// DWARF register numbers on x86-64.
enum DwarfRegister : unsigned {
  kRbp = 6,
  kRsp = 7,
  kReturnAddressColumn = 16,
  kTrackedRegisters = 17,
};

// A DWARF expression inside the module's unwind table, which stays mapped while the module is.
struct Expression {
  const unsigned char* begin = nullptr;
  const unsigned char* end = nullptr;
};

struct RegisterRule {
  enum Kind : std::uint8_t {
    kSameValue,     // unchanged by the frame (callee-saved and untouched, or never said)
    kUndefined,     // not recoverable
    kAtCfaOffset,   // saved at CFA + offset
    kIsCfaOffset,   // its value is CFA + offset
    kInRegister,    // its value is in register `reg`
    kAtExpression,  // saved at the address the expression computes (CFA pushed first)
    kIsExpression,  // its value is what the expression computes (CFA pushed first)
  };
  Kind kind = kSameValue;
  unsigned reg = 0;
  std::int64_t offset = 0;
  Expression expression;
};

struct FrameRules {
  // The CFA is register `cfa_register` + `cfa_offset`, unless `cfa_expression` is set.
  unsigned cfa_register = kRsp;
  std::int64_t cfa_offset = 0;
  Expression cfa_expression;
  RegisterRule registers[kTrackedRegisters];
  unsigned return_address_column = kReturnAddressColumn;
  // The frame is a signal trampoline's: the frame it returns to was interrupted, not calling, so
  // its program counter is looked up as it is, not one byte back.
  bool signal_frame = false;
  std::uintptr_t function_start = 0;
};

// The rules in force at `pc`; false when no module of the process has unwind data for it or the
// data cannot be read.
bool find_frame_rules(std::uintptr_t pc, FrameRules& rules);

}  // namespace quillmark::platform::posix
