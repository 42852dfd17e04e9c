// The line-number program of one compilation unit, read straight from `.debug_line`.
//
// libdw turns a unit's whole program into a sorted table of rows the first time a line of the
// unit is asked for; for the large units of template-heavy C++ that is most of a first
// resolution (about 0.4 ms for a unit of 3,400 rows). A frame needs one row, so the program is
// run for each look-up instead, keeping only the best row so far. The first look-up also notes
// where each sequence of the program lies (a function of its own, in units built with one
// section per function or full of inline and template code); later ones run only the sequences
// around their address. The file table is read once. The row chosen is the one libdw gives (of
// the rows at the greatest address not above the one looked up, the last in program order; a
// sequence that ends where another starts gives way to it; no line when only the end of a sequence
// lies there), except where that row is no statement and an earlier statement row there, of the
// same file, has a greater line: that statement is taken then (see BestRow in the source). A file
// name is joined to its directory with '/' (the unit's directory for directory 0 before DWARF 5),
// as libdw does; a name that is still relative then is joined to the unit's compilation directory,
// as debuggers show it ("/build/x" + "../../src/a.c" gives
// "/build/x/../../src/a.c"). Where a row is followed by the end of its own sequence
// at the same address, libdw's answer depends on more than the rows; a look-up that reaches such an
// address (at or past the end of a sequence) is left to libdw on Linux and to dbghelp on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillmark::debuginfo {

struct LineRow {
  std::uint64_t address = 0;
  std::uint64_t file = 0;  // index into the file table
  std::int64_t line = 0;
};

// The bytes of the sections a line program refers to; empty when a section is missing.
struct LineSections {
  const unsigned char* line = nullptr;
  std::size_t line_size = 0;
  const unsigned char* line_str = nullptr;  // .debug_line_str (DWARF 5)
  std::size_t line_str_size = 0;
  const unsigned char* str = nullptr;  // .debug_str
  std::size_t str_size = 0;
  const unsigned char* supplementary_str = nullptr;  // the supplementary file's .debug_str
  std::size_t supplementary_str_size = 0;
};

class LineProgram {
 public:
  // Reads the header of the program at `offset`; false when it cannot be read or uses what this
  // reader does not know (the caller then asks libdw, or dbghelp). `unit_directory` is the unit's
  // DW_AT_comp_dir, or null.
  bool open(const LineSections& sections, std::uint64_t offset, const char* unit_directory);

  enum class Found { kRow, kNoRow, kUnreadable };
  // The row that holds `address` (module-relative), as described above. kUnreadable when the
  // program turns out to be malformed or to use what this reader does not know. Not safe to
  // call from two threads at once (the first call notes the sequences).
  Found find(std::uint64_t address, LineRow& row) const;
  // The same answer, from a run of the whole program.
  Found find_by_running_all(std::uint64_t address, LineRow& row) const;

  // The file of index `index` in the table, null when there is none.
  const char* file_name(std::uint64_t index) const;
  // `path` joined to the unit's compilation directory when it is relative and that is known.
  std::string joined_to_unit_directory(const std::string& path) const;
  std::size_t file_count() const { return files_.size(); }

 private:
  bool read_directories_v5(const unsigned char*& at, const unsigned char* end);
  bool read_files_v5(const unsigned char*& at, const unsigned char* end);
  bool read_tables_v4(const unsigned char*& at, const unsigned char* end,
                      const char* unit_directory);
  bool read_entry_string(unsigned form, const unsigned char*& at, const unsigned char* end,
                         const char*& text) const;
  void add_file(const char* name, std::uint64_t directory);
  // Runs the program's bytes [from, to), which begin a sequence, and calls
  // on_row(registers, end_of_sequence, bytes_after_the_row's_opcode) for every row. False when
  // they are malformed or use what this reader does not know.
  template <typename OnRow>
  bool run(const unsigned char* from, const unsigned char* to, const OnRow& on_row) const;
  // find() by a run of the whole program that also notes where each sequence lies (none when
  // the program cannot be read or has rows outside any sequence).
  Found find_and_build_index(std::uint64_t address, LineRow& row) const;

  // One sequence: its bytes and the addresses of its rows, its end included.
  struct Sequence {
    const unsigned char* begin;
    const unsigned char* end;
    std::uint64_t low;
    std::uint64_t high;  // the address of the end of the sequence
  };
  enum class Index { kNotBuilt, kBuilt, kUnusable };

  LineSections sections_;
  bool offset64_ = false;
  unsigned version_ = 0;
  unsigned address_size_ = 8;
  unsigned min_instruction_length_ = 1;
  bool default_is_stmt_ = true;
  int line_base_ = 0;
  unsigned line_range_ = 1;
  unsigned opcode_base_ = 1;
  std::vector<unsigned> standard_lengths_;
  const unsigned char* program_ = nullptr;
  const unsigned char* program_end_ = nullptr;
  std::string unit_directory_;  // DW_AT_comp_dir, empty when unknown
  std::vector<std::string> directories_;
  std::vector<std::string> files_;
  mutable Index index_ = Index::kNotBuilt;
  mutable std::vector<Sequence> sequences_;  // in program order, once index_ is kBuilt
};

}  // namespace quillmark::debuginfo
