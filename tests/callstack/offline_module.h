// A module opened offline with libdw, as the symbol handler opens one, for tests that compare
// the module's own DWARF readers with libdw.
#pragma once

#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/elf_dwarf_file.h"

namespace quillmark::testing {

class OfflineModule {
 public:
  explicit OfflineModule(const std::string& path) {
    session_ = dwfl_begin(&callbacks_);
    dwfl_report_begin(session_);
    module_ = dwfl_report_offline(session_, "module", path.c_str(), -1);
    dwfl_report_end(session_, nullptr, nullptr);
  }
  ~OfflineModule() { dwfl_end(session_); }
  OfflineModule(const OfflineModule&) = delete;
  OfflineModule& operator=(const OfflineModule&) = delete;

  Dwfl_Module* module() const { return module_; }

 private:
  Dwfl_Callbacks callbacks_ = {dwfl_build_id_find_elf, dwfl_standard_find_debuginfo,
                               dwfl_offline_section_address, nullptr};
  Dwfl* session_ = nullptr;
  Dwfl_Module* module_ = nullptr;
};

// The address of every line-table row of every unit of `module`, load-biased as frames give
// them, in the order of the units and their rows.
inline std::vector<Dwarf_Addr> row_addresses(Dwfl_Module* module) {
  std::vector<Dwarf_Addr> rows;
  Dwarf_Addr bias = 0;
  for (Dwarf_Die* unit = dwfl_module_nextcu(module, nullptr, &bias); unit != nullptr;
       unit = dwfl_module_nextcu(module, unit, &bias)) {
    Dwarf_Lines* lines = nullptr;
    std::size_t count = 0;
    if (dwarf_getsrclines(unit, &lines, &count) != 0) continue;
    for (std::size_t i = 0; i < count; ++i) {
      Dwarf_Addr address = 0;
      dwarf_lineaddr(dwarf_onesrcline(lines, i), &address);
      rows.push_back(address + bias);
    }
  }
  return rows;
}

// The DWARF sections of the file at `path`, as the symbol handler reads them (compressed ones
// inflated); null when the file has none.
inline std::unique_ptr<platform::posix::ElfDwarfFile> dwarf_file(const std::string& path) {
  auto file = std::make_unique<platform::posix::ElfDwarfFile>();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file->open(fd) != platform::posix::ElfDwarfFile::Opened::kDwarf) return nullptr;
  return file;
}

struct Answer {
  bool found = false;
  std::string file;
  int line = 0;
  Dwarf_Addr address = 0;
};

inline bool is_statement(Dwarf_Line* line) {
  bool statement = false;
  return dwarf_linebeginstatement(line, &statement) == 0 && statement;
}

// Where libdw's row is no statement, the last statement row at its address, if one of the same
// file has a greater line (the reader takes that one); else libdw's row.
inline Dwarf_Line* call_row(Dwfl_Line* found) {
  Dwarf_Addr bias = 0;
  Dwarf_Line* row = dwfl_dwarf_line(found, &bias);
  Dwarf_Die* unit = dwfl_linecu(found);
  Dwarf_Lines* lines = nullptr;
  std::size_t count = 0;
  if (is_statement(row) || unit == nullptr || dwarf_getsrclines(unit, &lines, &count) != 0) {
    return row;
  }
  std::size_t index = 0;
  while (index < count && dwarf_onesrcline(lines, index) != row) ++index;
  Dwarf_Addr address = 0;
  dwarf_lineaddr(row, &address);
  int line = 0;
  dwarf_lineno(row, &line);
  while (index-- > 0) {
    Dwarf_Line* before = dwarf_onesrcline(lines, index);
    Dwarf_Addr before_address = 0;
    bool end = false;
    dwarf_lineaddr(before, &before_address);
    dwarf_lineendsequence(before, &end);
    if (before_address != address || end) break;
    if (!is_statement(before)) continue;
    int before_line = 0;
    dwarf_lineno(before, &before_line);
    const bool same_file = std::strcmp(dwarf_linesrc(before, nullptr, nullptr),
                                       dwarf_linesrc(row, nullptr, nullptr)) == 0;
    return same_file && before_line > line ? before : row;
  }
  return row;
}

// libdw's answer, with a relative file name joined to the unit's compilation directory.
inline Answer libdw_answer(Dwfl_Module* module, Dwarf_Addr address) {
  Answer answer;
  Dwfl_Line* found = dwfl_module_getsrc(module, address);
  if (found == nullptr) return answer;
  Dwarf_Line* line = call_row(found);
  const char* file = dwarf_linesrc(line, nullptr, nullptr);
  dwarf_lineno(line, &answer.line);
  Dwarf_Addr bias = 0;
  dwfl_dwarf_line(found, &bias);
  dwarf_lineaddr(line, &answer.address);
  answer.address += bias;
  answer.found = file != nullptr;
  answer.file = file != nullptr ? file : "";
  Dwarf_Die* unit = dwfl_linecu(found);
  Dwarf_Attribute attribute;
  const char* directory =
      unit != nullptr ? dwarf_formstring(dwarf_attr(unit, DW_AT_comp_dir, &attribute)) : nullptr;
  if (answer.found && file[0] != '/' && directory != nullptr && directory[0] != '\0') {
    answer.file = std::string(directory) + '/' + file;
  }
  return answer;
}

// The path of the running test program.
inline std::string this_program() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace quillmark::testing
