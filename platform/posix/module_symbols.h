// The symbols of one loaded module, read from its file when a frame inside it is first resolved.
//
// Each module has a libdw session of its own, so that only the modules that hold resolved frames
// are ever opened, and a module whose loading failed for want of memory or file descriptors can
// be dropped and loaded again by a later resolution (libdw remembers a failure for the life of
// the module). A module that cannot have symbols (its file is gone, is not ELF, or is no longer
// the file that was loaded) stays without them: its frames show as addresses.
//
// Loading (opening the file, reading its symbol table, finding the separate debug file and the
// supplementary file its DWARF may name, and reading, perhaps inflating, their sections) may take
// seconds. It runs under the module's own lock, so the handler can load ahead of a resolution
// without its own lock held (load()), and only callers that need this module wait for it.
// Everything else is done under the handler's lock.
#pragma once

#include <elfutils/libdwfl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "debuginfo/dwarf_resolver.h"
#include "platform/posix/elf_dwarf_file.h"
#include "platform/posix/function_table.h"
#include "platform/posix/loaded_objects.h"

namespace quillmark::platform::posix {

struct DebugFileSearch;

class ModuleSymbols {
 public:
  // The module loaded at `base` from `path` (the path the loader gives takes precedence while
  // the module is loaded). `callbacks` and `search` outlive the object.
  ModuleSymbols(std::string path, std::uint64_t base, std::uint64_t size,
                const Dwfl_Callbacks* callbacks, const DebugFileSearch* search);
  // A module that is no longer loaded: its file at `path` is read as if it were loaded at `base`,
  // whatever the loader has there now, and only when it has the build id `build_id` (raw bytes;
  // a recorded id cut to ModuleIdentity::kMaxIdLength bytes matches on those).
  static std::unique_ptr<ModuleSymbols> unloaded(std::string path, const ModuleIdentity& identity,
                                                 const Dwfl_Callbacks* callbacks,
                                                 const DebugFileSearch* search);
  ~ModuleSymbols();
  ModuleSymbols(const ModuleSymbols&) = delete;
  ModuleSymbols& operator=(const ModuleSymbols&) = delete;

  std::uint64_t base() const { return base_; }
  bool holds(std::uint64_t address) const { return address - base_ < size_; }

  // Loads the module, debug information included, unless it was loaded or found without symbols
  // already; waits while another thread loads it. Needs no other lock: libdw sessions of
  // different modules share no state.
  void load();
  // Whether load() would do anything.
  bool needs_loading() const { return state_.load(std::memory_order_acquire) == State::kNotLoaded; }

  // The module in libdw, loaded on first use; null while it has no symbols.
  Dwfl_Module* module();
  // Its function symbols; null while it has no symbols.
  FunctionTable* functions();
  // Where the module's DWARF is read, once module() has loaded it.
  enum class DwarfReader { kNone, kResolver };
  // The DWARF is opened by the load; after drop_resolver() it is opened again here (under the
  // handler's lock). kNone for a module without symbols or DWARF, and for now after a failure
  // for want of memory or descriptors (the next call tries again).
  DwarfReader dwarf_reader();
  // The resolver over the module's DWARF, while dwarf_reader() is kResolver; its addresses are
  // the module's link-time ones (address - bias()).
  debuginfo::DwarfResolver* resolver() { return resolver_.get(); }
  std::uint64_t bias() const { return bias_; }
  // Forgets the resolver and everything it read, after it failed for want of memory part-way.
  void drop_resolver();

 private:
  enum class State { kNotLoaded, kLoaded, kWithoutSymbols };
  // kLoaded on success, kWithoutSymbols for good, kNotLoaded to try again later.
  State read_module();
  State read_functions();
  State read_debug_information();
  DwarfReader open_dwarf();
  int debug_file_descriptor(Elf* main_file, std::string& debug_path);
  std::unique_ptr<ElfDwarfFile> open_supplementary_file(const ElfDwarfFile& holder,
                                                        const std::string& holder_path,
                                                        bool& transient);
  void release();

  std::string path_;
  bool unloaded_ = false;
  std::string recorded_build_id_;  // of an unloaded module
  std::uint64_t base_;
  std::uint64_t size_;
  const Dwfl_Callbacks* callbacks_;
  const DebugFileSearch* search_;

  // Held while the module is loaded or dropped. A load moves state_ from kNotLoaded on and a drop
  // moves it back; session_, module_ and functions_ are written only under load_mutex_ while
  // state_ is kNotLoaded, and read only once state_ was seen kLoaded (which publishes them), by
  // look-ups under the handler's lock. A drop happens under the handler's lock too, so no look-up
  // uses them while they go.
  std::mutex load_mutex_;
  std::atomic<State> state_{State::kNotLoaded};
  Dwfl* session_ = nullptr;
  Dwfl_Module* module_ = nullptr;
  // Written with session_ and module_ (and, after drop_resolver(), under the handler's lock).
  std::string file_path_;  // of the file the session reads, once loaded
  std::uint64_t bias_ = 0;
  enum class DwarfState { kUnread, kRead };
  DwarfState dwarf_state_ = DwarfState::kUnread;
  DwarfReader dwarf_reader_ = DwarfReader::kNone;
  std::unique_ptr<ElfDwarfFile> dwarf_file_;          // the sections the resolver reads
  std::unique_ptr<ElfDwarfFile> supplementary_file_;  // and those its DWARF refers to, if any
  std::unique_ptr<debuginfo::DwarfResolver> resolver_;
  std::unique_ptr<FunctionTable> functions_;
};

// Whether the last libdw failure (with errno as the failing call left it, cleared before the call)
// was one that may not happen again: out of memory, out of file descriptors.
bool libdw_failure_is_transient(int dwfl_error, int system_error);

namespace testing {
// Makes the next `count` module loads fail as if the system had run out of memory.
void fail_module_loads(int count);
}  // namespace testing

}  // namespace quillmark::platform::posix
