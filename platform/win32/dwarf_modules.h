// The modules whose files carry DWARF (as GNU toolchains build them), read directly instead of
// through dbghelp: the DWARF reader (debuginfo/) knows inlined calls and the line of a call where
// dbghelp knows them partly or (Microsoft's, which reads PDB files only) not at all.
//
// A module is noted under the handle it is looked up by (the process, or a module file's session)
// with the build it must be; its file is mapped when an address in it is first described, and
// only if that file is the same build and has a `.debug_info` section. Otherwise the module is
// left to dbghelp. Forgetting a module unmaps its file and drops everything read from it.
//
// A resolution reads its modules' files ahead (read_ahead), before it takes the subsystem's
// locks: each file is read under its module's own lock, so a file that takes long to open holds
// up only the look-ups in that module.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "debuginfo/dwarf_resolver.h"
#include "platform/module_identity.h"

namespace quillmark::platform::win32 {

class DwarfModules {
 public:
  DwarfModules();
  ~DwarfModules();
  DwarfModules(const DwarfModules&) = delete;
  DwarfModules& operator=(const DwarfModules&) = delete;

  void note(void* process, const ModuleIdentity& identity, const wchar_t* path);
  void forget(void* process, std::uint64_t base);
  void forget_all(void* process);

  // Reads the files of the noted modules that hold `addresses[0, count)` and were not read yet.
  void read_ahead(void* process, const std::uint64_t* addresses, std::uint32_t count);

  // What the DWARF of the module at `address` says about it, addresses as the process sees them.
  // False when no noted module with DWARF holds the address, or no unit of it does.
  bool describe(void* process, std::uint64_t address, debuginfo::AddressInfo& info);

 private:
  struct Module;
  std::shared_ptr<Module> module_at(void* process, std::uint64_t address);

  // Guards modules_. A module's own fields are guarded by its lock (Module::reading), which is
  // taken after mutex_ or alone, never before it.
  std::mutex mutex_;
  // By handle and base; shared with the reads ahead in progress, so that a module forgotten
  // meanwhile stays alive until its read ends.
  std::map<std::pair<void*, std::uint64_t>, std::shared_ptr<Module>> modules_;
};

}  // namespace quillmark::platform::win32
