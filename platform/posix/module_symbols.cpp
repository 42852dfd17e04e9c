#include "platform/posix/module_symbols.h"

#include <unistd.h>

#include <elfutils/libdwelf.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/posix/debug_file_search.h"
#include "platform/posix/wide_text.h"

namespace quillmark::platform::posix {

namespace {

// libdwfl's error numbers, unchanged since its first release.
constexpr int kDwflOutOfMemory = 2;

std::atomic<int> failing_loads{0};

bool injected_failure() {
  int left = failing_loads.load();
  while (left > 0 && !failing_loads.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

bool errno_is_transient(int system_error) {
  return system_error == ENOMEM || system_error == EMFILE || system_error == ENFILE;
}

// Whether the file libdw opened is the one that was loaded: a library replaced on disk since
// would resolve frames to the new file's functions at the old offsets.
bool same_build(Dwfl_Module* module, const std::string& loaded_build_id) {
  if (loaded_build_id.empty()) return true;  // nothing to compare with
  const unsigned char* bits = nullptr;
  GElf_Addr address = 0;
  const int size = dwfl_module_build_id(module, &bits, &address);
  const bool cut = loaded_build_id.size() == ModuleIdentity::kMaxIdLength;
  return size > 0 &&
         (static_cast<std::size_t>(size) == loaded_build_id.size() ||
          (cut && static_cast<std::size_t>(size) > loaded_build_id.size())) &&
         std::memcmp(bits, loaded_build_id.data(), loaded_build_id.size()) == 0;
}

// Whether two paths name the same file as the loader gave it and as it was reported (where
// repeated separators were collapsed).
bool same_path(const std::string& loader_path, const std::string& reported_path) {
  std::string collapsed;
  for (const char c : loader_path) {
    if (c != '/' || collapsed.empty() || collapsed.back() != '/') collapsed += c;
  }
  return collapsed == reported_path || loader_path == reported_path;
}

}  // namespace

// libelf and libdw report their own allocation failures under their own error numbers, which
// libdwfl passes on wrapped; the allocator's errno is the one sign they all leave.
bool libdw_failure_is_transient(int dwfl_error, int system_error) {
  return dwfl_error == kDwflOutOfMemory || errno_is_transient(system_error);
}

namespace testing {
void fail_module_loads(int count) { failing_loads.store(count); }
}  // namespace testing

ModuleSymbols::ModuleSymbols(std::string path, std::uint64_t base, std::uint64_t size,
                             const Dwfl_Callbacks* callbacks, const DebugFileSearch* search)
    : path_(std::move(path)), base_(base), size_(size), callbacks_(callbacks), search_(search) {}

std::unique_ptr<ModuleSymbols> ModuleSymbols::unloaded(std::string path,
                                                       const ModuleIdentity& identity,
                                                       const Dwfl_Callbacks* callbacks,
                                                       const DebugFileSearch* search) {
  auto symbols = std::make_unique<ModuleSymbols>(std::move(path), identity.base, identity.size,
                                                 callbacks, search);
  symbols->unloaded_ = true;
  symbols->recorded_build_id_.assign(reinterpret_cast<const char*>(identity.id),
                                     identity.id_length);
  return symbols;
}

ModuleSymbols::~ModuleSymbols() { release(); }

void ModuleSymbols::load() {
  if (!needs_loading()) return;
  std::lock_guard<std::mutex> lock(load_mutex_);
  if (state_.load(std::memory_order_relaxed) != State::kNotLoaded) return;  // loaded meanwhile
  state_.store(read_module(), std::memory_order_release);
}

Dwfl_Module* ModuleSymbols::module() {
  load();
  return state_.load(std::memory_order_acquire) == State::kLoaded ? module_ : nullptr;
}

FunctionTable* ModuleSymbols::functions() {
  return module() != nullptr ? functions_.get() : nullptr;
}

ModuleSymbols::State ModuleSymbols::read_module() {
  // Read from the loader now rather than when the module was reported: only the modules of
  // resolved frames pay for it. Another object at the same base means the reported one was
  // unloaded since; its file is then read as reported, without the checks against memory.
  LoadedImage image;
  const bool loaded = !unloaded_ && loaded_image_at(base_, image) &&
                      same_path(to_file_path(image.object.path.c_str()), path_);
  const std::string path = loaded ? to_file_path(image.object.path.c_str()) : path_;
  const std::uint64_t bias = loaded ? image.object.bias : base_;
  const int fd = open_regular_file(path.c_str());
  if (fd < 0) return errno_is_transient(errno) ? State::kNotLoaded : State::kWithoutSymbols;
  session_ = dwfl_begin(callbacks_);
  if (session_ == nullptr) {
    close(fd);
    return State::kNotLoaded;
  }
  const char* slash = std::strrchr(path.c_str(), '/');
  dwfl_report_begin(session_);
  errno = 0;
  module_ = dwfl_report_elf(session_, slash != nullptr ? slash + 1 : path.c_str(), path.c_str(), fd,
                            bias, false);
  const int system_error = errno;
  const int report_error = module_ == nullptr ? dwfl_errno() : 0;
  dwfl_report_end(session_, nullptr, nullptr);
  if (module_ == nullptr) {
    close(fd);  // only a successful report takes the descriptor over
    release();
    return libdw_failure_is_transient(report_error, system_error) ? State::kNotLoaded
                                                                  : State::kWithoutSymbols;
  }
  errno = 0;
  if (!same_build(module_, unloaded_ ? recorded_build_id_ : image.build_id)) {
    const bool transient = libdw_failure_is_transient(dwfl_errno(), errno);
    release();
    return transient ? State::kNotLoaded : State::kWithoutSymbols;
  }
  file_path_ = path;
  bias_ = bias;
  void** user_data = nullptr;
  dwfl_module_info(module_, &user_data, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  *user_data = const_cast<DebugFileSearch*>(search_);
  return read_functions();
}

ModuleSymbols::State ModuleSymbols::read_functions() {
  errno = 0;
  const bool symbol_table_failed = dwfl_module_getsymtab(module_) < 0;
  if (injected_failure() ||
      (symbol_table_failed && libdw_failure_is_transient(dwfl_errno(), errno))) {
    release();
    return State::kNotLoaded;
  }
  try {
    functions_ = std::make_unique<FunctionTable>(module_);
  } catch (const std::bad_alloc&) {
    release();
    return State::kNotLoaded;
  }
  return read_debug_information();
}

// The debug file (and the supplementary file its DWARF names) is found and its sections read
// (and inflated) here, during the load, without the handler's lock. A module without debug
// information keeps its symbols.
ModuleSymbols::State ModuleSymbols::read_debug_information() {
  dwarf_reader_ = open_dwarf();
  if (dwarf_state_ != DwarfState::kUnread) return State::kLoaded;
  release();
  return State::kNotLoaded;
}

ModuleSymbols::DwarfReader ModuleSymbols::dwarf_reader() {
  if (module() == nullptr) return DwarfReader::kNone;
  if (dwarf_state_ == DwarfState::kUnread) dwarf_reader_ = open_dwarf();
  return dwarf_reader_;
}

// As libdw chooses: the module's own DWARF, else that of its separate debug file.
ModuleSymbols::DwarfReader ModuleSymbols::open_dwarf() {
  try {
    auto file = std::make_unique<ElfDwarfFile>();
    GElf_Addr main_bias = 0;
    errno = 0;
    Elf* main_file = dwfl_module_getelf(module_, &main_bias);
    ElfDwarfFile::Opened opened = main_file != nullptr ? file->read(main_file)
                                  : libdw_failure_is_transient(dwfl_errno(), errno)
                                      ? ElfDwarfFile::Opened::kTransient
                                      : ElfDwarfFile::Opened::kUnusable;
    std::string holder_path = file_path_;
    if (opened == ElfDwarfFile::Opened::kNoDwarf) {
      const int debug_fd = debug_file_descriptor(file->elf(), holder_path);
      if (debug_fd == -2) return DwarfReader::kNone;  // tried again on the next call
      file = std::make_unique<ElfDwarfFile>();
      opened = debug_fd >= 0 ? file->open(debug_fd) : ElfDwarfFile::Opened::kNoDwarf;
    }
    if (opened == ElfDwarfFile::Opened::kTransient) return DwarfReader::kNone;
    if (opened != ElfDwarfFile::Opened::kDwarf) {
      dwarf_state_ = DwarfState::kRead;
      return DwarfReader::kNone;
    }
    bool transient = false;
    std::unique_ptr<ElfDwarfFile> supplementary =
        open_supplementary_file(*file, holder_path, transient);
    if (transient) return DwarfReader::kNone;
    resolver_ = std::make_unique<debuginfo::DwarfResolver>(
        file->sections(), supplementary != nullptr ? &supplementary->sections() : nullptr);
    dwarf_file_ = std::move(file);
    supplementary_file_ = std::move(supplementary);
    dwarf_state_ = DwarfState::kRead;
    return DwarfReader::kResolver;
  } catch (const std::bad_alloc&) {
    dwarf_state_ = DwarfState::kUnread;
    return DwarfReader::kNone;
  }
}

// The descriptor of the module's separate debug file, found as libdw would find it, and its path
// in `debug_path`; -1 when there is none, -2 when the search failed for want of memory or
// descriptors.
int ModuleSymbols::debug_file_descriptor(Elf* main_file, std::string& debug_path) {
  GElf_Word crc = 0;
  const char* link = main_file != nullptr ? dwelf_elf_gnu_debuglink(main_file, &crc) : nullptr;
  void* user_data = const_cast<DebugFileSearch*>(search_);
  char* found_name = nullptr;
  errno = 0;
  const int fd = find_debug_file(module_, &user_data, nullptr, base_, file_path_.c_str(), link, crc,
                                 &found_name);
  const int search_error = errno;
  if (fd >= 0 && found_name != nullptr) {
    try {
      debug_path = found_name;
    } catch (const std::bad_alloc&) {
      std::free(found_name);
      close(fd);
      return -2;
    }
  }
  std::free(found_name);
  return fd < 0 && errno_is_transient(search_error) ? -2 : fd;
}

// The supplementary file the DWARF of `holder` (read from `holder_path`) names, opened and checked
// against the id the link gives; null when there is none or it is not found (the DWARF is then read
// without it). `transient` is set when the search failed for want of memory or descriptors.
std::unique_ptr<ElfDwarfFile> ModuleSymbols::open_supplementary_file(const ElfDwarfFile& holder,
                                                                     const std::string& holder_path,
                                                                     bool& transient) {
  const ElfDwarfFile::SupplementaryLink& link = holder.supplementary_link();
  if (link.kind == ElfDwarfFile::SupplementaryLink::Kind::kNone) return nullptr;
  const std::string id_hex =
      hex_of(reinterpret_cast<const unsigned char*>(link.id.data()), link.id.size());
  for (const std::string& candidate :
       supplementary_file_candidates(*search_, holder_path, link.path, id_hex)) {
    errno = 0;
    const int fd = open_regular_file(candidate.c_str());
    if (fd < 0) {
      if (!errno_is_transient(errno)) continue;
      transient = true;
      return nullptr;
    }
    auto file = std::make_unique<ElfDwarfFile>();
    const ElfDwarfFile::Opened opened = file->open(fd);
    if (opened == ElfDwarfFile::Opened::kTransient) {
      transient = true;
      return nullptr;
    }
    errno = 0;
    if (opened == ElfDwarfFile::Opened::kDwarf && file->is_supplementary_for(link)) return file;
    if (errno_is_transient(errno)) {
      transient = true;
      return nullptr;
    }
  }
  return nullptr;
}

void ModuleSymbols::drop_resolver() {
  resolver_.reset();
  dwarf_file_.reset();
  supplementary_file_.reset();
  dwarf_reader_ = DwarfReader::kNone;
  dwarf_state_ = DwarfState::kUnread;
}

void ModuleSymbols::release() {
  drop_resolver();
  functions_.reset();
  module_ = nullptr;
  if (session_ != nullptr) dwfl_end(session_);
  session_ = nullptr;
}

}  // namespace quillmark::platform::posix
