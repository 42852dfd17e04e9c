#include "platform/posix/line_program.h"

#include <dwarf.h>

#include <cstring>

namespace quillmark::platform::posix {

namespace {

// Bounds-checked readers: each returns false (and reads nothing) past `end`.
bool read_u8(const unsigned char*& at, const unsigned char* end, std::uint64_t& value) {
  if (at >= end) return false;
  value = *at++;
  return true;
}

bool read_fixed(const unsigned char*& at, const unsigned char* end, unsigned size,
                std::uint64_t& value) {
  if (static_cast<std::size_t>(end - at) < size || size > 8) return false;
  value = 0;
  for (unsigned i = 0; i < size; ++i) value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  at += size;
  return true;
}

bool read_uleb(const unsigned char*& at, const unsigned char* end, std::uint64_t& value) {
  value = 0;
  for (unsigned shift = 0; at < end; shift += 7) {
    const unsigned char byte = *at++;
    if (shift < 64) value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

bool read_sleb(const unsigned char*& at, const unsigned char* end, std::int64_t& value) {
  std::uint64_t result = 0;
  unsigned shift = 0;
  unsigned char byte = 0x80;
  while ((byte & 0x80) != 0) {
    if (at >= end) return false;
    byte = *at++;
    if (shift < 64) result |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    shift += 7;
  }
  if (shift < 64 && (byte & 0x40) != 0) result |= ~std::uint64_t{0} << shift;
  value = static_cast<std::int64_t>(result);
  return true;
}

bool read_cstring(const unsigned char*& at, const unsigned char* end, const char*& text) {
  const void* nul = std::memchr(at, 0, static_cast<std::size_t>(end - at));
  if (nul == nullptr) return false;
  text = reinterpret_cast<const char*>(at);
  at = static_cast<const unsigned char*>(nul) + 1;
  return true;
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
};

}  // namespace

bool LineProgram::open(const LineSections& sections, std::uint64_t offset,
                       const char* unit_directory) {
  sections_ = sections;
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
    if (directory == 0 && !unit_directory_known && *name != '/') {
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
  if (*name == '/' || directory >= directories_.size()) {
    files_.emplace_back(name);
    return;
  }
  files_.push_back(directories_[directory] + '/' + name);
}

const char* LineProgram::file_name(std::uint64_t index) const {
  return index < files_.size() ? files_[index].c_str() : nullptr;
}

LineProgram::Found LineProgram::find(std::uint64_t address, LineRow& row) const {
  // The best rows so far: those at the greatest address not above `address`. Of several there,
  // the last in program order is kept. A sequence that ends where a later one starts gives way
  // to it, as in libdw's order; but where a row is followed by the end of its own sequence at
  // the same address, libdw's answer depends on more than the rows (only a look-up at or past
  // the end of that sequence reaches it), so such an address is left to libdw.
  bool found = false;
  bool row_there = false;
  bool own_sequence_ends_there = false;
  std::uint64_t found_address = 0;
  std::uint64_t sequence = 0;      // index of the sequence being run
  std::uint64_t row_sequence = 0;  // the sequence of the row kept
  Registers state;
  const auto emit = [&](bool end_sequence) {
    if (state.address > address || (found && state.address < found_address)) return;
    if (!found || state.address > found_address) {
      found = true;
      found_address = state.address;
      row_there = false;
      own_sequence_ends_there = false;
    }
    if (!end_sequence) {
      row_there = true;
      row = {state.address, state.file, static_cast<std::int64_t>(state.line)};
      row_sequence = sequence;
      own_sequence_ends_there = false;
    } else if (row_there && row_sequence == sequence) {
      own_sequence_ends_there = true;
    }
  };
  const unsigned char* at = program_;
  const unsigned char* end = program_end_;
  std::uint64_t value = 0;
  std::int64_t signed_value = 0;
  while (at < end) {
    const unsigned opcode = *at++;
    if (opcode >= opcode_base_) {
      const unsigned adjusted = opcode - opcode_base_;
      state.address += std::uint64_t{min_instruction_length_} * (adjusted / line_range_);
      state.line +=
          static_cast<std::uint64_t>(line_base_ + static_cast<int>(adjusted % line_range_));
      emit(false);
      continue;
    }
    switch (opcode) {
      case 0: {  // extended
        std::uint64_t length = 0;
        if (!read_uleb(at, end, length) || length == 0 ||
            length > static_cast<std::uint64_t>(end - at)) {
          return Found::kUnreadable;
        }
        const unsigned char* next = at + length;
        const unsigned sub_opcode = *at++;
        if (sub_opcode == DW_LNE_end_sequence) {
          emit(true);
          state = Registers();
          ++sequence;
        } else if (sub_opcode == DW_LNE_set_address) {
          if (!read_fixed(at, next, static_cast<unsigned>(length - 1), state.address)) {
            return Found::kUnreadable;
          }
        } else if (sub_opcode == DW_LNE_define_file) {
          return Found::kUnreadable;  // a file table that grows as the program runs: left to libdw
        }
        at = next;
        break;
      }
      case DW_LNS_copy:
        emit(false);
        break;
      case DW_LNS_advance_pc:
        if (!read_uleb(at, end, value)) return Found::kUnreadable;
        state.address += value * min_instruction_length_;
        break;
      case DW_LNS_advance_line:
        if (!read_sleb(at, end, signed_value)) return Found::kUnreadable;
        state.line += static_cast<std::uint64_t>(signed_value);
        break;
      case DW_LNS_set_file:
        if (!read_uleb(at, end, state.file)) return Found::kUnreadable;
        break;
      case DW_LNS_const_add_pc:
        state.address +=
            std::uint64_t{min_instruction_length_} * ((255 - opcode_base_) / line_range_);
        break;
      case DW_LNS_fixed_advance_pc:
        if (!read_fixed(at, end, 2, value)) return Found::kUnreadable;
        state.address += value;
        break;
      default:  // the rest change nothing the look-up needs; skip their operands
        for (unsigned i = 0; i < standard_lengths_[opcode]; ++i) {
          if (!read_uleb(at, end, value)) return Found::kUnreadable;
        }
        break;
    }
  }
  if (!found || !row_there) return Found::kNoRow;
  return own_sequence_ends_there ? Found::kUnreadable : Found::kRow;
}

}  // namespace quillmark::platform::posix
