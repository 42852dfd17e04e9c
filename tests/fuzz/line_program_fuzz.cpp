// The line-program reader on any bytes, as a damaged or hostile debug file would give it: the
// input is split into a `.debug_line` and a `.debug_line_str` section; the header is read at a
// few offsets, rows are looked up at a few addresses, and every file index is asked for. Nothing
// may read outside the sections, a row found names a file of the table or none, and the look-up
// through the sequence index agrees with a run of the whole program.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "debuginfo/line_program.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using quillmark::debuginfo::LineProgram;
using quillmark::debuginfo::LineRow;
using quillmark::debuginfo::LineSections;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // Copies of their own, so that the sanitizer sees a read past either section.
  const std::vector<unsigned char> line_str =
      input.ConsumeBytes<unsigned char>(input.ConsumeIntegralInRange<std::size_t>(0, 256));
  const std::uint64_t offset = input.ConsumeIntegralInRange<std::uint64_t>(0, 64);
  const std::uint64_t addresses[] = {input.ConsumeIntegral<std::uint32_t>(),
                                     input.ConsumeIntegral<std::uint32_t>(), 0, ~0ull};
  const std::vector<unsigned char> line = input.ConsumeRemainingBytes<unsigned char>();

  LineSections sections;
  sections.line = line.empty() ? nullptr : line.data();
  sections.line_size = line.size();
  sections.line_str = line_str.empty() ? nullptr : line_str.data();
  sections.line_str_size = line_str.size();
  LineProgram program;
  if (!program.open(sections, offset, "/src")) return 0;
  for (std::size_t i = 0; i <= program.file_count(); ++i) {
    FUZZ_CHECK((program.file_name(i) != nullptr) == (i < program.file_count()));
  }
  for (const std::uint64_t address : addresses) {
    LineRow row;
    const LineProgram::Found found = program.find(address, row);
    if (found == LineProgram::Found::kRow) FUZZ_CHECK(row.address <= address);
    // The look-up that runs only the sequences around the address agrees with a whole run.
    LineRow whole_row;
    FUZZ_CHECK(program.find_by_running_all(address, whole_row) == found);
    if (found == LineProgram::Found::kRow) {
      FUZZ_CHECK(whole_row.address == row.address && whole_row.file == row.file &&
                 whole_row.line == row.line);
    }
  }
  return 0;
}
