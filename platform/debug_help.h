// The operating-system seam of the call-stack subsystem: stack capture, the symbol handler and
// the process queries that the symbol search path and the frame text need.
//
// Every call goes through the abstract DebugHelp interface. The build supplies one implementation
// (win32/: the Windows kernel, registry and dbghelp; posix/: an unwinder, libdw and the dynamic
// loader); tests install a fake through set_debug_help_for_testing(). Nothing here includes a
// system header, so the subsystem's headers stay portable.
//
// Paths, the search path and the process queries are wide text, as the Windows interfaces take
// them: wchar_t on both targets, UTF-16 on Windows, UTF-32 on Linux. What the handler finds for an
// address (functions, files, lines) comes back in UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/module_identity.h"

namespace quillmark::platform {

// A handle the symbol handler knows the process by (the current-process pseudo-handle on Windows;
// an equivalent non-null token on Linux). Never owned.
using ProcessHandle = void*;

// A module of the process, named by its load address (HMODULE on Windows). Never owned.
using ModuleHandle = void*;

// Symbol options understood by set_symbol_options() (the values of the dbghelp flags).
constexpr std::uint32_t kSymOptUndecorateNames = 0x2;
constexpr std::uint32_t kSymOptDeferredLoads = 0x4;
constexpr std::uint32_t kSymOptLoadLines = 0x10;
constexpr std::uint32_t kSymOptDebug = 0x80000000u;

// The registry value type of a plain string.
constexpr std::uint32_t kRegistryStringType = 1;

// One function shown for a code address, with the source line shown beside it. Text is UTF-8,
// whole (the frame formatter cuts what does not fit), and may hold ill-formed sequences when the
// debug information does.
struct ShownFunction {
  bool has_name = false;
  std::string name;
  bool has_line = false;
  std::string file;
  std::uint32_t line = 0;
};

// What the symbol handler knows about one code address.
//
// The code at an address may belong to functions inlined into the function that holds it; each
// such call is a frame of its own. `inlined` lists them innermost first: the innermost shows the
// line of the address, each other the line of the call of the one inside it. `function` is the
// function that holds them all; it shows the line of the address when nothing is inlined there,
// else the line of the call of the outermost inlined function.
struct AddressSymbols {
  std::vector<ShownFunction> inlined;
  ShownFunction function;
  // From the start of `function` to the address (when it has a name).
  std::uint64_t function_displacement = 0;
  // From the start of the address's own line (the innermost frame's line) to the address.
  std::uint32_t line_displacement = 0;
  // False when the handler met a passing failure (memory ran short) and found less than it
  // knows: the answer is not to be kept, and the next look-up may find more.
  bool complete = true;
};

// What the symbol handler knows about a loaded module.
struct ModuleRecord {
  std::uint32_t size_of_struct = 3264;
  std::uint64_t base_of_image = 0;
};

// Called once per loaded module by enumerate_loaded_modules(); return true to get the next one.
using ModuleVisitor = bool (*)(const wchar_t* name, std::uint64_t base, std::uint32_t size,
                               void* context);

class DebugHelp {
 public:
  virtual ~DebugHelp() = default;

  // Capture: the calling thread's return addresses, innermost first. Entry 0 is the return
  // address inside the function that called capture_back_trace (after `frames_to_skip` entries
  // are left out). Writes at most `frames_to_capture` entries, returns how many were written and
  // stores a 32-bit hash of them in *hash, unless `hash` is null.
  virtual std::uint16_t capture_back_trace(std::uint32_t frames_to_skip,
                                           std::uint32_t frames_to_capture,
                                           std::uint64_t* back_trace, std::uint32_t* hash) = 0;

  // Process queries.
  virtual ProcessHandle current_process() = 0;
  // The module of the host executable (not of this library).
  virtual ModuleHandle executable_module() = 0;
  // The full path of `module` into `buffer` (at most `capacity` characters, terminated).
  // Returns the number of characters written without the terminator, 0 on failure.
  virtual std::uint32_t module_file_name(ModuleHandle module, wchar_t* buffer,
                                         std::uint32_t capacity) = 0;
  // Base of the allocation (the module image) that holds `address`; null when unknown.
  virtual ModuleHandle allocation_base(std::uint64_t address) = 0;
  // With `buffer` null and `size` 0: the size the value needs including its terminator, 0 when
  // unset. Otherwise: the value's length when it was read into `buffer`, else 0.
  virtual std::uint32_t environment_variable(const wchar_t* name, wchar_t* buffer,
                                             std::uint32_t size) = 0;
  // Opens `key` under the current user's registry hive, reads `value` into `data` (*size bytes in,
  // bytes read out) and closes the key. True only when both the open and the read succeeded.
  virtual bool read_user_registry_value(const wchar_t* key, const wchar_t* value,
                                        std::uint32_t* type, void* data, std::uint32_t* size) = 0;
  // Hands a text to an attached debugger.
  virtual void debug_output(const wchar_t* text) = 0;
  // The calling thread's last error code of a failed symbol-handler call.
  virtual std::uint32_t last_error() = 0;

  // Symbol handler.
  virtual void set_symbol_options(std::uint32_t options) = 0;
  // `search_path` is a list of folders, each followed by ';'. With `invade_process` false no
  // module is loaded until load_module(). False on failure (see last_error()).
  virtual bool initialize_symbols(ProcessHandle process, const wchar_t* search_path,
                                  bool invade_process) = 0;
  // Whether the handler was started for this process and a further start would do nothing but
  // succeed: then a new record can share it without waiting for the lock of the symbol work in
  // progress. Linux, once started; never with Windows' dbghelp, whose start has effects each
  // time. Safe to call without that lock.
  virtual bool started_for_good() const { return false; }
  virtual bool enumerate_loaded_modules(ProcessHandle process, ModuleVisitor visitor,
                                        void* context) = 0;
  virtual bool module_info(ProcessHandle process, std::uint64_t base, ModuleRecord& record) = 0;
  // Returns `base` when the symbols of the module were loaded, 0 otherwise.
  virtual std::uint64_t load_module(ProcessHandle process, const wchar_t* path, std::uint64_t base,
                                    std::uint32_t size) = 0;
  // Reads ahead the symbols of the loaded modules that hold the code addresses
  // `addresses[0, count)`, so that the look-ups of the resolution that follows find them ready.
  // Reading a module's files may take seconds; done here, it holds only that module's own lock,
  // and waits only for modules that another thread is reading right now. Called with none of the
  // subsystem's locks held. The look-ups still read a module that was not read ahead. On Windows
  // only the modules that the DWARF reader describes are read ahead: dbghelp has a single lock
  // for everything.
  virtual void load_modules_at(ProcessHandle process, const std::uint64_t* addresses,
                               std::uint32_t count) {
    (void)process;
    (void)addresses;
    (void)count;
  }
  // Everything the handler knows about the code at `address`, looked up in `process` (the
  // process, or a module file's handle). Leaves `symbols` as default-constructed where it knows
  // nothing. An allocation failure propagates as std::bad_alloc.
  virtual void resolve_address(ProcessHandle process, std::uint64_t address,
                               AddressSymbols& symbols) = 0;

  // Module files. A frame recorded in a module that is no longer loaded as it was (unloaded, or
  // another module or build now at its address) is resolved from the module's file, which is
  // read, never loaded as code, as if it were loaded at identity.base.
  //
  // Opens the file at `path` (the loader's path of the module) when it is still the build
  // `identity` names (Linux: the same build id; Windows: the same PE time stamp and image size),
  // and returns a handle to give the look-ups above as their `process`; null when the file is
  // missing, unreadable or another build. A handler that cannot read module files returns null.
  virtual ProcessHandle open_module_file(const wchar_t* path, const ModuleIdentity& identity) {
    (void)path;
    (void)identity;
    return nullptr;
  }
  // The same as open_module_file(), called with none of the subsystem's locks held, so that a
  // resolution opens the files of its unloaded modules (which may take seconds) before it takes
  // them. Null where the handler opens module files only under those locks (Windows' dbghelp):
  // the resolution then opens them under the locks with open_module_file().
  virtual ProcessHandle open_module_file_ahead(const wchar_t* path,
                                               const ModuleIdentity& identity) {
    (void)path;
    (void)identity;
    return nullptr;
  }
  // Releases an open_module_file() handle and everything it holds: no descriptor and no mapping
  // of the file stays in the process.
  virtual void close_module_file(ProcessHandle file) { (void)file; }
  // Drops the symbols of the module loaded (load_module) at `base`, which was unloaded from the
  // process; frames at its addresses then have none until a module is loaded there again.
  virtual void unload_module(ProcessHandle process, std::uint64_t base) {
    (void)process;
    (void)base;
  }

  // Whether the return address `address` is the start of a signal trampoline (the code a signal
  // handler returns into). Such a frame, and the frame the signal interrupted, are looked up at
  // their address itself: neither follows a call. False where the system has no such frames.
  virtual bool is_signal_trampoline(std::uint64_t /*address*/) { return false; }
};

// The implementation in use: the operating system's unless a test installed another.
DebugHelp& debug_help();

// Installs `replacement` (null restores the operating system's) and returns the previous one.
// Tests call it while no other thread uses the subsystem.
DebugHelp* set_debug_help_for_testing(DebugHelp* replacement);

// A recursive lock of the operating system (a critical section on Windows). Creating it cannot
// fail: should the system be out of memory while preparing it, the lock is left unprepared and
// enter()/leave() do nothing, as the symbol handler then has nothing to protect anyway.
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void enter();
  void leave();

 private:
  void* native_;  // the operating system's lock object, owned
};

// Holds a CriticalSection for one scope, so an exception leaves it too.
class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CriticalSection* lock) : lock_(lock) {
    if (lock_ != nullptr) lock_->enter();
  }
  ~CriticalSectionGuard() {
    if (lock_ != nullptr) lock_->leave();
  }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

 private:
  CriticalSection* lock_;
};

}  // namespace quillmark::platform
