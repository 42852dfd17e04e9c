#include "debuginfo/line_program.h"

#include "debuginfo/dwarf_constants.h"

#include <algorithm>
#include <cstring>

#include "debuginfo/dwarf_bytes.h"

namespace quillmark::debuginfo {

namespace {

// Whether `path` needs no directory before it: a '/' path, or one a compiler running on Windows
// wrote ("C:/src/a.c", "C:\\src\\a.c", "\\\\server\\share\\a.c").
bool is_absolute(const char* path) {
  if (path[0] == '/' || path[0] == '\\') return true;
  const bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
  return letter && path[1] == ':' && (path[2] == '/' || path[2] == '\\');
}

// A terminated string at `offset` of a string section.
bool string_at(const unsigned char* section, std::size_t size, std::uint64_t offset,
               const char*& text) {
  if (section == nullptr || offset >= size) return false;
  const unsigned char* at = section + offset;
  return read_cstring(at, section + size, text);
}

// The registers of the line-number state machine that the look-up needs.
// The line wraps around as an unsigned number would: a damaged program may push it anywhere.
struct Registers {
  std::uint64_t address = 0;
  std::uint64_t file = 1;
  std::uint64_t line = 1;
  bool is_stmt = true;
};

}  // namespace

bool LineProgram::open(const LineSections& sections, std::uint64_t offset,
                       const char* unit_directory) {
  sections_ = sections;
  unit_directory_ = unit_directory != nullptr ? unit_directory : "";
  if (sections.line == nullptr || offset >= sections.line_size) return false;
  const unsigned char* at = sections.line + offset;
  const unsigned char* end = sections.line + sections.line_size;
  std::uint64_t length = 0;
  if (!read_fixed(at, end, 4, length)) return false;
  if (length == 0xFFFFFFFF) {
    offset64_ = true;
    if (!read_fixed(at, end, 8, length)) return false;
  }
  if (length > static_cast<std::uint64_t>(end - at)) return false;
  end = at + length;
  std::uint64_t value = 0;
  if (!read_fixed(at, end, 2, value) || value < 2 || value > 5) return false;
  version_ = static_cast<unsigned>(value);
  if (version_ >= 5) {
    std::uint64_t segment_selector_size = 0;
    if (!read_u8(at, end, value) || !read_u8(at, end, segment_selector_size)) return false;
    address_size_ = static_cast<unsigned>(value);
    if (segment_selector_size != 0) return false;
  }
  std::uint64_t header_length = 0;
  if (!read_fixed(at, end, offset64_ ? 8 : 4, header_length) ||
      header_length > static_cast<std::uint64_t>(end - at)) {
    return false;
  }
  program_ = at + header_length;
  program_end_ = end;
  if (!read_u8(at, end, value)) return false;
  min_instruction_length_ = static_cast<unsigned>(value);
  if (version_ >= 4 && (!read_u8(at, end, value) || value != 1)) return false;  // not VLIW
  if (!read_u8(at, end, value)) return false;
  default_is_stmt_ = value != 0;
  if (!read_u8(at, end, value)) return false;
  line_base_ = static_cast<signed char>(value);
  if (!read_u8(at, end, value) || value == 0) return false;
  line_range_ = static_cast<unsigned>(value);
  if (!read_u8(at, end, value) || value == 0) return false;
  opcode_base_ = static_cast<unsigned>(value);
  standard_lengths_.assign(opcode_base_, 0);
  for (unsigned opcode = 1; opcode < opcode_base_; ++opcode) {
    if (!read_u8(at, end, value)) return false;
    standard_lengths_[opcode] = static_cast<unsigned>(value);
  }
  if (version_ >= 5) return read_directories_v5(at, program_) && read_files_v5(at, program_);
  return read_tables_v4(at, program_, unit_directory);
}

bool LineProgram::read_tables_v4(const unsigned char*& at, const unsigned char* end,
                                 const char* unit_directory) {
  directories_.emplace_back(unit_directory != nullptr ? unit_directory : "");
  bool unit_directory_known = unit_directory != nullptr;
  for (;;) {
    const char* directory = nullptr;
    if (!read_cstring(at, end, directory)) return false;
    if (*directory == '\0') break;
    directories_.emplace_back(directory);
  }
  files_.emplace_back("???");  // file numbers start at 1 before DWARF 5
  for (;;) {
    const char* name = nullptr;
    if (!read_cstring(at, end, name)) return false;
    if (*name == '\0') break;
    std::uint64_t directory = 0;
    std::uint64_t ignored = 0;
    if (!read_uleb(at, end, directory) || !read_uleb(at, end, ignored) ||
        !read_uleb(at, end, ignored)) {
      return false;
    }
    // Without the unit's directory libdw keeps such a name relative.
    if (directory == 0 && !unit_directory_known && !is_absolute(name)) {
      files_.emplace_back(name);
      continue;
    }
    add_file(name, directory);
  }
  return true;
}

bool LineProgram::read_entry_string(unsigned form, const unsigned char*& at,
                                    const unsigned char* end, const char*& text) const {
  std::uint64_t offset = 0;
  switch (form) {
    case DW_FORM_string:
      return read_cstring(at, end, text);
    case DW_FORM_line_strp:
      return read_fixed(at, end, offset64_ ? 8 : 4, offset) &&
             string_at(sections_.line_str, sections_.line_str_size, offset, text);
    case DW_FORM_strp:
      return read_fixed(at, end, offset64_ ? 8 : 4, offset) &&
             string_at(sections_.str, sections_.str_size, offset, text);
    case DW_FORM_strp_sup:
    case DW_FORM_GNU_strp_alt:
      return read_fixed(at, end, offset64_ ? 8 : 4, offset) &&
             string_at(sections_.supplementary_str, sections_.supplementary_str_size, offset, text);
    default:
      return false;  // string forms through an index need the unit's offsets table
  }
}

namespace {

bool read_unsigned_form(unsigned form, const unsigned char*& at, const unsigned char* end,
                        std::uint64_t& value) {
  switch (form) {
    case DW_FORM_data1:
      return read_fixed(at, end, 1, value);
    case DW_FORM_data2:
      return read_fixed(at, end, 2, value);
    case DW_FORM_data4:
      return read_fixed(at, end, 4, value);
    case DW_FORM_data8:
      return read_fixed(at, end, 8, value);
    case DW_FORM_udata:
      return read_uleb(at, end, value);
    default:
      return false;
  }
}

// Skips an entry field this reader does not use; false for a form it does not know.
bool skip_form(unsigned form, const unsigned char*& at, const unsigned char* end, bool offset64) {
  std::uint64_t value = 0;
  switch (form) {
    case DW_FORM_data1:
    case DW_FORM_data2:
    case DW_FORM_data4:
    case DW_FORM_data8:
    case DW_FORM_udata:
      return read_unsigned_form(form, at, end, value);
    case DW_FORM_data16:
      return read_fixed(at, end, 8, value) && read_fixed(at, end, 8, value);
    case DW_FORM_block:
      if (!read_uleb(at, end, value) || value > static_cast<std::uint64_t>(end - at)) return false;
      at += value;
      return true;
    case DW_FORM_string: {
      const char* text = nullptr;
      return read_cstring(at, end, text);
    }
    case DW_FORM_line_strp:
    case DW_FORM_strp:
    case DW_FORM_strp_sup:
    case DW_FORM_GNU_strp_alt:
      return read_fixed(at, end, offset64 ? 8 : 4, value);
    default:
      return false;
  }
}

struct EntryFormat {
  std::uint64_t content;
  std::uint64_t form;
};

bool read_formats(const unsigned char*& at, const unsigned char* end,
                  std::vector<EntryFormat>& formats) {
  std::uint64_t count = 0;
  if (!read_u8(at, end, count)) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    EntryFormat format{};
    if (!read_uleb(at, end, format.content) || !read_uleb(at, end, format.form)) return false;
    formats.push_back(format);
  }
  return true;
}

}  // namespace

bool LineProgram::read_directories_v5(const unsigned char*& at, const unsigned char* end) {
  std::vector<EntryFormat> formats;
  std::uint64_t count = 0;
  if (!read_formats(at, end, formats) || !read_uleb(at, end, count)) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    const char* path = nullptr;
    for (const EntryFormat& format : formats) {
      const unsigned form = static_cast<unsigned>(format.form);
      const bool read = format.content == DW_LNCT_path ? read_entry_string(form, at, end, path)
                                                       : skip_form(form, at, end, offset64_);
      if (!read) return false;
    }
    if (path == nullptr) return false;
    directories_.emplace_back(path);
  }
  return true;
}

bool LineProgram::read_files_v5(const unsigned char*& at, const unsigned char* end) {
  std::vector<EntryFormat> formats;
  std::uint64_t count = 0;
  if (!read_formats(at, end, formats) || !read_uleb(at, end, count)) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    const char* name = nullptr;
    std::uint64_t directory = 0;
    for (const EntryFormat& format : formats) {
      const unsigned form = static_cast<unsigned>(format.form);
      bool read = false;
      if (format.content == DW_LNCT_path) {
        read = read_entry_string(form, at, end, name);
      } else if (format.content == DW_LNCT_directory_index) {
        read = read_unsigned_form(form, at, end, directory);
      } else {
        read = skip_form(form, at, end, offset64_);
      }
      if (!read) return false;
    }
    if (name == nullptr) return false;
    add_file(name, directory);
  }
  return true;
}

void LineProgram::add_file(const char* name, std::uint64_t directory) {
  if (is_absolute(name) || directory >= directories_.size()) {
    files_.emplace_back(name);
    return;
  }
  files_.push_back(directories_[directory] + '/' + name);
  if (!is_absolute(files_.back().c_str())) {
    files_.back() = joined_to_unit_directory(files_.back());
  }
}

std::string LineProgram::joined_to_unit_directory(const std::string& path) const {
  if (unit_directory_.empty() || path.empty() || is_absolute(path.c_str())) return path;
  return unit_directory_ + '/' + path;
}

const char* LineProgram::file_name(std::uint64_t index) const {
  return index < files_.size() ? files_[index].c_str() : nullptr;
}

namespace {

// The rows at the greatest address not above `address` seen so far. Of several there, the last
// in program order is kept, except where it is no statement and an earlier statement of the same
// file there has a greater line: then that statement is the one. GCC gives the instruction that
// enters a function, or an inlined one, a statement row with the function's opening line and then
// a row of its body: the body's line is the one being run (where gdb, which takes the last
// statement, shows the opening line). But where the statement row of a call is followed by a row
// that goes back to an earlier line (the function's opening line, or the line that declared a
// variable the instruction also serves), the statement is the call's line. A sequence that ends
// where a later one starts gives way to it, as in libdw's order; but where a row is followed by the
// end of its own sequence at the same address, libdw's answer depends on more than the rows (only a
// look-up at or past the end of that sequence reaches it), so such an address is left to libdw.
class BestRow {
 public:
  explicit BestRow(std::uint64_t address) : address_(address) {}

  // A row of sequence number `sequence` (its end when `end_sequence`).
  void offer(const Registers& state, bool end_sequence, std::uint64_t sequence) {
    if (state.address > address_ || (found_ && state.address < found_address_)) return;
    if (!found_ || state.address > found_address_) {
      found_ = true;
      found_address_ = state.address;
      row_there_ = false;
      statement_there_ = false;
      own_sequence_ends_there_ = false;
    }
    if (!end_sequence) {
      row_there_ = true;
      row_ = {state.address, state.file, static_cast<std::int64_t>(state.line)};
      row_is_statement_ = state.is_stmt;
      if (state.is_stmt) {
        statement_there_ = true;
        statement_ = row_;
        statement_sequence_ = sequence;
      }
      row_sequence_ = sequence;
      own_sequence_ends_there_ = false;
    } else if (row_there_ && row_sequence_ == sequence) {
      own_sequence_ends_there_ = true;
    }
  }

  LineProgram::Found result(LineRow& row) const {
    if (!found_ || !row_there_) return LineProgram::Found::kNoRow;
    if (own_sequence_ends_there_) return LineProgram::Found::kUnreadable;
    const bool statement_goes_further = !row_is_statement_ && statement_there_ &&
                                        statement_sequence_ == row_sequence_ &&
                                        statement_.file == row_.file && statement_.line > row_.line;
    row = statement_goes_further ? statement_ : row_;
    return LineProgram::Found::kRow;
  }

 private:
  std::uint64_t address_;
  bool found_ = false;
  bool row_there_ = false;
  bool own_sequence_ends_there_ = false;
  bool row_is_statement_ = false;
  bool statement_there_ = false;  // a statement row lies at found_address_
  std::uint64_t found_address_ = 0;
  std::uint64_t row_sequence_ = 0;  // the sequence of row_
  std::uint64_t statement_sequence_ = 0;
  LineRow row_;
  LineRow statement_;  // the last statement row at found_address_
};

}  // namespace

LineProgram::Found LineProgram::find(std::uint64_t address, LineRow& row) const {
  if (index_ == Index::kNotBuilt) return find_and_build_index(address, row);
  if (index_ != Index::kBuilt) return find_by_running_all(address, row);
  // Only rows from the lowest start of a sequence that holds `address` up to `address` can be
  // the answer (that sequence's first row is one of them): the sequences that reach into that
  // span are run, in program order, and no other. Where no sequence holds the address the whole
  // program is run.
  std::uint64_t lowest_start = ~std::uint64_t{0};
  for (const Sequence& sequence : sequences_) {
    if (sequence.low <= address && address < sequence.high && sequence.low < lowest_start) {
      lowest_start = sequence.low;
    }
  }
  if (lowest_start == ~std::uint64_t{0}) return find_by_running_all(address, row);
  BestRow best(address);
  for (std::size_t number = 0; number < sequences_.size(); ++number) {
    const Sequence& sequence = sequences_[number];
    if (sequence.low > address || sequence.high < lowest_start) continue;
    const bool readable = run(sequence.begin, sequence.end,
                              [&](const Registers& state, bool end, const unsigned char*) {
                                best.offer(state, end, number);
                              });
    if (!readable) return Found::kUnreadable;
  }
  return best.result(row);
}

LineProgram::Found LineProgram::find_by_running_all(std::uint64_t address, LineRow& row) const {
  BestRow best(address);
  std::uint64_t sequence = 0;
  const bool readable =
      run(program_, program_end_, [&](const Registers& state, bool end, const unsigned char*) {
        best.offer(state, end, sequence);
        if (end) ++sequence;
      });
  return readable ? best.result(row) : Found::kUnreadable;
}

LineProgram::Found LineProgram::find_and_build_index(std::uint64_t address, LineRow& row) const {
  BestRow best(address);
  Sequence current{program_, program_, ~std::uint64_t{0}, 0};
  bool rows_pending = false;
  const bool readable = run(program_, program_end_,
                            [&](const Registers& state, bool end, const unsigned char* after) {
                              best.offer(state, end, sequences_.size());
                              current.low = std::min(current.low, state.address);
                              current.high = std::max(current.high, state.address);
                              rows_pending = !end;
                              if (!end) return;
                              current.end = after;
                              sequences_.push_back(current);
                              current = Sequence{after, after, ~std::uint64_t{0}, 0};
                            });
  // Rows after the last end of a sequence belong to none: such a program is always run whole.
  index_ = readable && !rows_pending ? Index::kBuilt : Index::kUnusable;
  if (index_ != Index::kBuilt) sequences_.clear();
  return readable ? best.result(row) : Found::kUnreadable;
}

template <typename OnRow>
bool LineProgram::run(const unsigned char* from, const unsigned char* to,
                      const OnRow& on_row) const {
  Registers state;
  state.is_stmt = default_is_stmt_;
  const unsigned char* at = from;
  const unsigned char* end = to;
  std::uint64_t value = 0;
  std::int64_t signed_value = 0;
  while (at < end) {
    const unsigned opcode = *at++;
    if (opcode >= opcode_base_) {
      const unsigned adjusted = opcode - opcode_base_;
      state.address += std::uint64_t{min_instruction_length_} * (adjusted / line_range_);
      state.line +=
          static_cast<std::uint64_t>(line_base_ + static_cast<int>(adjusted % line_range_));
      on_row(state, false, at);
      continue;
    }
    switch (opcode) {
      case 0: {  // extended
        std::uint64_t length = 0;
        if (!read_uleb(at, end, length) || length == 0 ||
            length > static_cast<std::uint64_t>(end - at)) {
          return false;
        }
        const unsigned char* next = at + length;
        const unsigned sub_opcode = *at++;
        if (sub_opcode == DW_LNE_end_sequence) {
          on_row(state, true, next);
          state = Registers();
          state.is_stmt = default_is_stmt_;
        } else if (sub_opcode == DW_LNE_set_address) {
          if (!read_fixed(at, next, static_cast<unsigned>(length - 1), state.address)) {
            return false;
          }
        } else if (sub_opcode == DW_LNE_define_file) {
          return false;  // a file table that grows as the program runs: left to libdw
        }
        at = next;
        break;
      }
      case DW_LNS_copy:
        on_row(state, false, at);
        break;
      case DW_LNS_advance_pc:
        if (!read_uleb(at, end, value)) return false;
        state.address += value * min_instruction_length_;
        break;
      case DW_LNS_advance_line:
        if (!read_sleb(at, end, signed_value)) return false;
        state.line += static_cast<std::uint64_t>(signed_value);
        break;
      case DW_LNS_negate_stmt:
        state.is_stmt = !state.is_stmt;
        break;
      case DW_LNS_set_file:
        if (!read_uleb(at, end, state.file)) return false;
        break;
      case DW_LNS_const_add_pc:
        state.address +=
            std::uint64_t{min_instruction_length_} * ((255 - opcode_base_) / line_range_);
        break;
      case DW_LNS_fixed_advance_pc:
        if (!read_fixed(at, end, 2, value)) return false;
        state.address += value;
        break;
      default:  // the rest change nothing the look-up needs; skip their operands
        for (unsigned i = 0; i < standard_lengths_[opcode]; ++i) {
          if (!read_uleb(at, end, value)) return false;
        }
        break;
    }
  }
  return true;
}

}  // namespace quillmark::debuginfo
