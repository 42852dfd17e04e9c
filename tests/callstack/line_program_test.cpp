// The direct reader of line programs against libdw itself: for every row of every unit of real
// modules (this test program, DWARF 5 from the compiler's defaults; a library built with
// DWARF 4; one with compressed debug sections), the row, file and line the reader finds at the
// row's address and just around it are the ones libdw finds. The reader reads the sections as the
// symbol handler does (elf_dwarf_file.h, which inflates compressed ones).
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "debuginfo/line_program.h"
#include "tests/callstack/offline_module.h"

namespace {

using quillmark::debuginfo::LineProgram;
using quillmark::debuginfo::LineRow;
using quillmark::testing::Answer;
using quillmark::testing::libdw_answer;
using quillmark::testing::OfflineModule;

// The programs of one module's units, read from its own sections, by offset in .debug_line.
class Programs {
 public:
  explicit Programs(const std::string& path) : file_(quillmark::testing::dwarf_file(path)) {
    if (file_ == nullptr) return;
    const quillmark::debuginfo::DwarfSections& bytes = file_->sections();
    sections_ = {bytes.line.data,     bytes.line.size, bytes.line_str.data,
                 bytes.line_str.size, bytes.str.data,  bytes.str.size};
  }

  const LineProgram* program_of(Dwarf_Die& unit) {
    Dwarf_Attribute attribute;
    Dwarf_Word offset = 0;
    if (file_ == nullptr ||
        dwarf_formudata(dwarf_attr(&unit, DW_AT_stmt_list, &attribute), &offset) != 0) {
      return nullptr;
    }
    std::unique_ptr<LineProgram>& program = programs_[offset];
    if (program != nullptr) return program.get();
    program = std::make_unique<LineProgram>();
    const char* directory = dwarf_formstring(dwarf_attr(&unit, DW_AT_comp_dir, &attribute));
    if (!program->open(sections_, offset, directory)) program.reset();
    return program.get();
  }

 private:
  std::unique_ptr<quillmark::platform::posix::ElfDwarfFile> file_;
  quillmark::debuginfo::LineSections sections_;
  std::map<Dwarf_Word, std::unique_ptr<LineProgram>> programs_;
};

// The reader's answer in the unit libdw finds; `readable` false when the reader cannot read it.
Answer reader_answer(Dwfl_Module* module, Programs& programs, Dwarf_Addr address, bool& readable) {
  Answer answer;
  Dwarf_Addr bias = 0;
  Dwarf_Die* unit = dwfl_module_addrdie(module, address, &bias);
  const LineProgram* program = unit != nullptr ? programs.program_of(*unit) : nullptr;
  readable = unit == nullptr || program != nullptr;
  if (program == nullptr) return answer;
  LineRow row;
  const LineProgram::Found found = program->find(address - bias, row);
  readable = found != LineProgram::Found::kUnreadable;
  if (found != LineProgram::Found::kRow || program->file_name(row.file) == nullptr) return answer;
  answer = {true, program->file_name(row.file), static_cast<int>(row.line), row.address + bias};
  return answer;
}

struct Comparison {
  int compared = 0;
  int left_to_libdw = 0;  // addresses the reader hands over (where a sequence ends)
};

// Compares both at every row address of every unit, one byte before and one after.
Comparison compare_all_rows(const std::string& path) {
  OfflineModule offline(path);
  Dwfl_Module* module = offline.module();
  EXPECT_NE(module, nullptr) << path;
  Comparison comparison;
  if (module == nullptr) return comparison;
  Programs programs(path);
  for (const Dwarf_Addr row_address : quillmark::testing::row_addresses(module)) {
    for (const Dwarf_Addr address : {row_address - 1, row_address, row_address + 1}) {
      bool readable = true;
      const Answer mine = reader_answer(module, programs, address, readable);
      ++comparison.compared;
      if (!readable) {
        ++comparison.left_to_libdw;
        continue;
      }
      const Answer theirs = libdw_answer(module, address);
      if (mine.found != theirs.found || mine.file != theirs.file || mine.line != theirs.line ||
          mine.address != theirs.address) {
        ADD_FAILURE() << path << " at 0x" << std::hex << address << ": reader "
                      << (mine.found ? mine.file : "(none)") << ':' << std::dec << mine.line
                      << ", libdw " << (theirs.found ? theirs.file : "(none)") << ':'
                      << theirs.line;
        return comparison;
      }
    }
  }
  return comparison;
}

void expect_agreement(const std::string& path, int at_least) {
  const Comparison comparison = compare_all_rows(path);
  EXPECT_GE(comparison.compared, at_least) << path;
  // Only look-ups at the end of a sequence go to libdw.
  EXPECT_LT(comparison.left_to_libdw * 20, comparison.compared) << path;
}

TEST(LineProgram, AgreesWithLibdwOnThisProgram) {
  expect_agreement(quillmark::testing::this_program(), 1000);
}

TEST(LineProgram, AgreesWithLibdwOnDwarf4) { expect_agreement(LINE_SAMPLE_DWARF4, 10); }

TEST(LineProgram, AgreesWithLibdwOnCompressedSections) {
  expect_agreement(LINE_SAMPLE_COMPRESSED, 10);
}

// A DWARF 4 program of one file (`file`, in the unit's directory) whose rows are given as
// (address, line, is_stmt) triples.
std::basic_string<unsigned char> program_of_rows(const std::vector<std::array<int, 3>>& rows,
                                                 const std::string& file = "a.c") {
  std::basic_string<unsigned char> tables = {1, 1, 1, 0xFB, 14, 13, 0, 1, 1, 1,
                                             1, 0, 0, 0,    1,  0,  0, 1, 0};
  tables.append(file.begin(), file.end());
  tables += {0, 0, 0, 0, 0};
  std::basic_string<unsigned char> program = {0, 9, DW_LNE_set_address};
  for (int shift = 0; shift < 64; shift += 8) program += static_cast<unsigned char>(0);
  int address = 0;
  int line = 1;
  bool is_stmt = true;
  for (const auto& [row_address, row_line, row_is_stmt] : rows) {
    program += {DW_LNS_advance_pc, static_cast<unsigned char>(row_address - address)};
    program += {DW_LNS_advance_line, static_cast<unsigned char>((row_line - line) & 0x7F)};
    if (is_stmt != (row_is_stmt != 0)) program += DW_LNS_negate_stmt;
    program += DW_LNS_copy;
    address = row_address;
    line = row_line;
    is_stmt = row_is_stmt != 0;
  }
  program += {DW_LNS_advance_pc, 8, 0, 1, DW_LNE_end_sequence};
  std::basic_string<unsigned char> unit = {4, 0, static_cast<unsigned char>(tables.size()),
                                           0, 0, 0};
  unit += tables;
  unit += program;
  const auto length = static_cast<unsigned char>(unit.size());
  return std::basic_string<unsigned char>{length, 0, 0, 0} + unit;
}

int line_at(const std::basic_string<unsigned char>& bytes, std::uint64_t address) {
  quillmark::debuginfo::LineSections sections;
  sections.line = bytes.data();
  sections.line_size = bytes.size();
  LineProgram program;
  LineRow row;
  if (!program.open(sections, 0, "/src") ||
      program.find(address, row) != LineProgram::Found::kRow) {
    return 0;
  }
  return static_cast<int>(row.line);
}

// Of several rows at the address of a call, the statement row is the call's where the last row
// goes back to an earlier line; the last row is where it goes on from a function's opening line
// into the body.
TEST(LineProgram, TakesTheLineOfTheCallAmongRowsAtOneAddress) {
  EXPECT_EQ(line_at(program_of_rows({{0, 10, 1}, {0, 11, 1}, {0, 10, 0}}), 4), 11);
  EXPECT_EQ(line_at(program_of_rows({{0, 10, 1}, {0, 11, 0}}), 4), 11);
  EXPECT_EQ(line_at(program_of_rows({{0, 10, 0}, {0, 11, 1}, {0, 10, 1}}), 4), 10);
}

// Names a compiler running on Windows wrote are whole; a relative one is joined to the unit's
// directory.
TEST(LineProgram, KeepsWindowsPathsWhole) {
  const char* const cases[][3] = {{"C:/src/a.c", "C:/build", "C:/src/a.c"},
                                  {"a.c", "C:/build", "C:/build/a.c"},
                                  {"\\\\server\\a.c", "/b", "\\\\server\\a.c"}};
  for (const auto& [file, directory, expected] : cases) {
    const std::basic_string<unsigned char> bytes = program_of_rows({{0, 10, 1}}, file);
    quillmark::debuginfo::LineSections sections;
    sections.line = bytes.data();
    sections.line_size = bytes.size();
    LineProgram program;
    ASSERT_TRUE(program.open(sections, 0, directory));
    ASSERT_NE(program.file_name(1), nullptr);
    EXPECT_STREQ(program.file_name(1), expected);
  }
}

TEST(LineProgram, RefusesTruncatedPrograms) {
  // A header that claims more bytes than the section has, and one cut inside its tables.
  const unsigned char claims_too_much[] = {0xFF, 0x00, 0x00, 0x00, 0x05, 0x00};
  const unsigned char cut_short[] = {0x10, 0x00, 0x00, 0x00, 0x05, 0x00, 0x08, 0x00, 0x40, 0x00,
                                     0x00, 0x00, 0x01, 0x01, 0x01, 0xFB, 0x0E, 0x0D, 0x00, 0x01};
  for (const auto& bytes :
       {std::basic_string<unsigned char>(claims_too_much, sizeof claims_too_much),
        std::basic_string<unsigned char>(cut_short, sizeof cut_short)}) {
    quillmark::debuginfo::LineSections sections;
    sections.line = bytes.data();
    sections.line_size = bytes.size();
    LineProgram program;
    EXPECT_FALSE(program.open(sections, 0, "/src"));
  }
}

}  // namespace
