// Frame lines and stack text from odd symbol-handler answers: names and source paths far beyond
// the line length, NULs, ill-formed UTF-8, slashes, any displacement. A name stays within the
// handler's record and is valid UTF-8; a line takes fewer than 512 wide characters, starts with
// four blanks and ends in a line feed; the whole text of a stack is well-formed UTF-8
// under its header line.
#include <fuzzer/FuzzedDataProvider.h>
#include <utf8cpp/utf8.h>

#include <memory>
#include <string>
#include <vector>

#include "callstack/call_stack.h"
#include "callstack/cstack_info.h"
#include "callstack/describe_stack.h"
#include "callstack/path_text.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

bool well_formed_utf8(const std::string& text) { return utf8::is_valid(text.begin(), text.end()); }

void check_one_line(FuzzedDataProvider& input, CallStack& stack, std::uint64_t pc) {
  std::uint64_t symbol_displacement = 0;
  const std::string name = stack.function_name(pc, &symbol_displacement);
  FUZZ_CHECK(well_formed_utf8(name));
  FUZZ_CHECK(resmonitor::path_text::wide_prefix(name, 256).bytes == name.size());

  quillmark::platform::ShownFunction line;
  line.has_line = true;
  line.file = input.ConsumeRandomLengthString(1400);
  line.line = input.ConsumeIntegral<std::uint32_t>();
  const bool with_line = input.ConsumeBool();

  std::string out;
  const std::size_t length = stack.format_frame(pc, with_line ? &line : nullptr,
                                                input.ConsumeIntegral<std::uint32_t>(), name, out);
  FUZZ_CHECK(length == out.size());
  FUZZ_CHECK(well_formed_utf8(out));
  FUZZ_CHECK(resmonitor::path_text::wide_prefix(out, CallStack::kLineCapacity - 1).bytes ==
             out.size());
  FUZZ_CHECK(out.rfind("    ", 0) == 0);
  FUZZ_CHECK(out.back() == '\n');
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
