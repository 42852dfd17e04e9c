// The symbols of one loaded module, read from its file when a frame inside it is first resolved.
//
// Each module has a libdw session of its own, so that only the modules that hold resolved frames
// are ever opened, and a module whose loading failed for want of memory or file descriptors can
// be dropped and loaded again by a later resolution (libdw remembers a failure for the life of
// the module). A module that cannot have symbols (its file is gone, is not ELF, or is no longer
// the file that was loaded) stays without them: its frames show as addresses.
#pragma once

#include <elfutils/libdwfl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "debuginfo/dwarf_resolver.h"
#include "platform/posix/elf_dwarf_file.h"
#include "platform/posix/function_table.h"
#include "platform/posix/loaded_objects.h"
#include "platform/posix/module_dwarf.h"

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

  // The module in libdw, loaded on first use; null while it has no symbols.
  Dwfl_Module* module();
  // Its function symbols; null while it has no symbols.
  FunctionTable* functions();
  // What has been read from its DWARF so far (emptied whenever the module is dropped).
  ModuleDwarf& dwarf() { return dwarf_; }

  // Where the module's DWARF is read, once module() has loaded it.
  enum class DwarfReader { kNone, kResolver, kLibdw };
  // Opens the module's DWARF on first use. kNone for a module without DWARF, and for now after
  // a failure for want of memory or descriptors (the next call tries again).
  DwarfReader dwarf_reader();
  // The resolver over the module's DWARF, while dwarf_reader() is kResolver; its addresses are
  // the module's link-time ones (address - bias()).
  debuginfo::DwarfResolver* resolver() { return resolver_.get(); }
  std::uint64_t bias() const { return bias_; }
  // Forgets the resolver and everything it read, after it failed for want of memory part-way.
  void drop_resolver();

  // To be called right after a libdw call on the module failed: when the failure was for want of
  // memory or descriptors, drops what was loaded (so the next look-up loads it afresh) and
  // returns true. Anything that pointed into the module is then invalid.
  bool drop_after_transient_failure();

 private:
  enum class State { kNotLoaded, kLoaded, kWithoutSymbols };
  // kLoaded on success, kWithoutSymbols for good, kNotLoaded to try again later.
  State load();
  State read_functions();
  DwarfReader open_dwarf();
  int debug_file_descriptor(Elf* main_file);
  void release();

  std::string path_;
  bool unloaded_ = false;
  std::string recorded_build_id_;  // of an unloaded module
  std::uint64_t base_;
  std::uint64_t size_;
  const Dwfl_Callbacks* callbacks_;
  const DebugFileSearch* search_;
  State state_ = State::kNotLoaded;
  Dwfl* session_ = nullptr;
  Dwfl_Module* module_ = nullptr;
  std::string file_path_;  // of the file the session reads, once loaded
  std::uint64_t bias_ = 0;
  enum class DwarfState { kUnread, kRead };
  DwarfState dwarf_state_ = DwarfState::kUnread;
  DwarfReader dwarf_reader_ = DwarfReader::kNone;
  std::unique_ptr<ElfDwarfFile> dwarf_file_;  // the sections the resolver reads
  std::unique_ptr<debuginfo::DwarfResolver> resolver_;
  std::unique_ptr<FunctionTable> functions_;
  ModuleDwarf dwarf_;
};

// Whether the last libdw failure (with errno as the failing call left it, cleared before the call)
// was one that may not happen again: out of memory, out of file descriptors.
bool libdw_failure_is_transient(int dwfl_error, int system_error);

namespace testing {
// Makes the next `count` module loads fail as if the system had run out of memory.
void fail_module_loads(int count);
}  // namespace testing

}  // namespace quillmark::platform::posix
