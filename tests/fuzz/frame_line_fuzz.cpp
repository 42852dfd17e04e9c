// Frame lines and stack text from odd symbol-handler answers: names and source paths far beyond
// the line buffer, NULs, lone surrogates, slashes, any displacement, buffers of any size. A line
// never runs past its buffer, is terminated where its length says, starts with four blanks and
// ends in a line feed; the whole text of a stack is well-formed UTF-8 under its header line.
#include <fuzzer/FuzzedDataProvider.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "callstack/call_stack.h"
#include "callstack/cstack_info.h"
#include "callstack/describe_stack.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using quillmark::platform::LineRecord;
using quillmark::platform::SymbolRecord;

void check_one_line(FuzzedDataProvider& input, CallStack& stack, std::uint64_t pc) {
  SymbolRecord symbol;
  std::uint64_t symbol_displacement = 0;
  const wchar_t* name = stack.function_name(pc, &symbol_displacement, symbol);
  FUZZ_CHECK(std::wcslen(name) <= SymbolRecord::kMaxNameLength);

  const std::wstring file = quillmark::fuzzing::consume_wide(input, 700);
  LineRecord line;
  line.file_name = file.c_str();
  line.line_number = input.ConsumeIntegral<std::uint32_t>();
  const bool with_line = input.ConsumeBool();

  // A guard zone after the buffer catches a write past its end.
  const std::size_t capacity = input.ConsumeIntegralInRange<std::size_t>(0, 600);
  std::vector<wchar_t> out(capacity + 8, L'#');
  const std::size_t length =
      stack.format_frame(pc, with_line ? &line : nullptr, input.ConsumeIntegral<std::uint32_t>(),
                         name, out.data(), capacity);
  for (std::size_t i = capacity; i < out.size(); ++i) FUZZ_CHECK(out[i] == L'#');
  if (capacity < 2) {
    FUZZ_CHECK(length == 0);
    return;
  }
  FUZZ_CHECK(length < capacity);
  FUZZ_CHECK(out[length] == L'\0');
  FUZZ_CHECK(length >= 1 && out[length - 1] == L'\n');
  for (std::size_t i = 0; i < 4 && i + 1 < length; ++i) FUZZ_CHECK(out[i] == L' ');
}

bool well_formed_utf8(const std::string& text) {
  // Enough for this target: no byte that never occurs in UTF-8, and no cut sequence at the end.
  for (unsigned char byte : text) {
    if (byte == 0xC0 || byte == 0xC1 || byte >= 0xF5) return false;
  }
  return text.empty() || static_cast<unsigned char>(text.back()) < 0x80;
}

void check_stack_text(FuzzedDataProvider& input, const std::vector<std::uint64_t>& frames) {
  resmonitor::CStackInfo info;
  info.process = reinterpret_cast<quillmark::platform::ProcessHandle>(1);
  std::unique_ptr<CallStack> stack(create_fast_call_stack());
  stack->bind_symbols(&info.symbol_lock, info.process);
  for (std::uint64_t pc : frames) stack->push_frame(pc);

  static int resource = 0;
  resmonitor::StackEntry& entry = info.stacks[&resource];
  // A line feed in the name would end the header early; every other byte may occur.
  entry.object_name = input.ConsumeRandomLengthString(300);
  for (char& c : entry.object_name) c = c == '\n' ? ' ' : c;
  entry.stack = stack.release();

  const std::string text = resmonitor::describe_stack(info, &resource);
  FUZZ_CHECK(text.rfind("Frame ", 0) == 0);
  const std::size_t header_end = text.find('\n');
  FUZZ_CHECK(header_end != std::string::npos && header_end < 128);
  FUZZ_CHECK(text.back() == '\n');
  FUZZ_CHECK(well_formed_utf8(text.substr(header_end + 1)));
  // Described again, frames the handler named keep their text and the others are asked for
  // again (the scripted handler may answer differently): the same header, still well-formed.
  const std::string again = resmonitor::describe_stack(info, &resource);
  FUZZ_CHECK(again.compare(0, header_end + 1, text, 0, header_end + 1) == 0);
  FUZZ_CHECK(again.back() == '\n');
  FUZZ_CHECK(well_formed_utf8(again.substr(header_end + 1)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<std::uint64_t> pcs(input.ConsumeIntegralInRange<std::size_t>(0, 40));
  for (std::uint64_t& pc : pcs) pc = input.ConsumeIntegral<std::uint64_t>();
  quillmark::testing::ScopedFakeDebugHelp help;
  quillmark::fuzzing::fill_debug_help(input, *help, pcs);

  std::unique_ptr<CallStack> stack(create_fast_call_stack());
  for (std::size_t i = 0; i < pcs.size() && i < 4; ++i) check_one_line(input, *stack, pcs[i]);
  check_stack_text(input, pcs);
  return 0;
}
