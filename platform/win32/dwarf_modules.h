// The modules whose files carry DWARF (as GNU toolchains build them), read directly instead of
// through dbghelp: the DWARF reader (debuginfo/) knows inlined calls and the line of a call where
// dbghelp knows them partly or (Microsoft's, which reads PDB files only) not at all.
//
// A module is noted under the handle it is looked up by (the process, or a module file's session)
// with the build it must be; its file is mapped when an address in it is first described, and
// only if that file is the same build and has a `.debug_info` section. Otherwise the module is
// left to dbghelp. Forgetting a module unmaps its file and drops everything read from it.
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

  // What the DWARF of the module at `address` says about it, addresses as the process sees them.
  // False when no noted module with DWARF holds the address, or no unit of it does.
  bool describe(void* process, std::uint64_t address, debuginfo::AddressInfo& info);

 private:
  struct Module;
  Module* module_at(void* process, std::uint64_t address);

  std::mutex mutex_;  // guards modules_ and everything each module holds
  std::map<std::pair<void*, std::uint64_t>, std::unique_ptr<Module>> modules_;  // by handle, base
};

}  // namespace quillmark::platform::win32
