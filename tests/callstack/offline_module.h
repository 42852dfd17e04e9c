// A module opened offline with libdw, as the symbol handler opens one, for tests that compare
// the module's own DWARF readers with libdw.
#pragma once

#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <unistd.h>

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

// The path of the running test program.
inline std::string this_program() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace quillmark::testing
