// The debug-help seam on Linux.
//
// - Capture: the unwinder of unwind_capture.h; the hash is frame_hash.h's.
// - Symbols: libdw. Modules come from the dynamic loader (loaded_objects.h); a reported module
//   is only noted, and its file is opened when a frame inside it is first resolved
//   (module_symbols.h), so the first resolution costs the modules of its frames, not every
//   module of the process. The search path becomes the folders searched for separate debug
//   files (debug_file_search.h), so debug files beside the executable, in "../pdb" or
//   "SymbolTable" are found. Functions come from each module's symbol table
//   (function_table.h), lines and inlined calls from its DWARF through this library's own
//   resolver (module_symbols.h), and names are shown in their native form (symbol_names.h). An
//   allocation failure inside the resolver gives a poorer frame and drops what the resolver had
//   read, so the next resolution starts afresh. libdw is not thread-safe: every libdw call holds
//   `mutex_`, except those that load a module, which hold the module's own lock instead
//   (module_symbols.h), so that a resolution can load its modules ahead without `mutex_`
//   (load_modules_at). Each module has a libdw session of its own, and sessions share no state.
// - Module files: a module that is no longer loaded is read from its file in a libdw session of
//   its own (ModuleSymbols::unloaded), checked against the recorded build id, under a handle of
//   its own that the look-ups take as their process; closing the handle ends the session, which
//   unmaps and closes the file and its debug file.
// - Module of an address: the dynamic loader's list of objects (loaded_objects.h); the
//   executable's file name is /proc/self/exe. Nothing a resolution calls takes the loader lock
//   that dlopen and dlclose hold while constructors and destructors run: no dladdr, and libdw's
//   debuginfod client (which opens its library with dlopen) is never asked, since debug files are
//   found by find_debug_file. Only capture may open the private unwinder.
// - Registry: Linux has none, so every read finds nothing. Environment and debugger channel:
//   process_queries.h.
// - Lifetime: the handler outlives the library's other static state (a final leak report may
//   still describe stacks); it is released when the library is unloaded, and left to the system
//   at process exit.
// Paths given to the handler are in the backslash form of the subsystem's path normalisation
// and are turned back into '/' paths here.
#include <elfutils/libdwfl.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "debuginfo/symbol_names.h"
#include "platform/debug_help.h"
#include "platform/fork.h"
#include "platform/inlined_calls.h"
#include "platform/module_identity.h"
#include "platform/posix/debug_file_search.h"
#include "platform/posix/function_table.h"
#include "platform/posix/library_unload.h"
#include "platform/posix/loaded_objects.h"
#include "platform/posix/module_symbols.h"
#include "platform/posix/process_queries.h"
#include "platform/posix/unwind_capture.h"
#include "platform/posix/wide_text.h"

namespace quillmark::platform {

namespace {

using namespace posix;
using namespace debuginfo;

// The same value as the Windows current-process pseudo-handle.
ProcessHandle const kCurrentProcess = reinterpret_cast<ProcessHandle>(~std::uintptr_t{0});
// Error codes reported by last_error(), in the Windows numbering.
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorInvalidParameter = 87;

// How many addresses' inlined calls are kept.
constexpr std::size_t kKeptChains = 4096;

thread_local std::uint32_t last_error_code = 0;

struct SourceLine {
  const char* file = nullptr;  // alive as long as the description it comes from
  std::uint32_t line = 0;
  std::uint64_t address = 0;  // where the line's code starts
};

// Held shared by every read ahead of a resolution (load_modules_at, open_module_file), which may
// run without the resolution lock, and exclusively around a fork, so that a child finds neither the
// handler's lock nor a module's lock held by a thread it does not have, nor a module half read.
// Look-ups that read a module themselves run under the resolution lock, which a fork takes too.
// Writers go first, so that reads coming one after another cannot hold a fork back.
// Constant-initialised and never destroyed: a read may still run on a thread the host leaves behind
// at exit.
//
// A fork takes it last, after the monitors' locks and the resolution lock: a reader may hold
// those (the freeze watchdog resolves under its records lock) and never waits for one of them
// while it reads, so the fork's wait ends when the reads in progress do.
pthread_rwlock_t ahead_reads = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;

void hold_ahead_reads() { pthread_rwlock_wrlock(&ahead_reads); }
void release_ahead_reads() { pthread_rwlock_unlock(&ahead_reads); }
// The lock records its writer by thread id, which differs in the child: an unlock there would
// be taken for a reader's. The child has no other thread, so the lock starts afresh.
void reset_ahead_reads() {
  const pthread_rwlock_t fresh = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
  ahead_reads = fresh;
}

// The steps before a fork run in reverse order of registration: registered before every other
// static object of the library is made (whose fork steps are registered as they are), these run
// last.
struct AheadReadForkSteps {
  AheadReadForkSteps() {
    run_around_fork(&hold_ahead_reads, &release_ahead_reads, &reset_ahead_reads);
  }
};
__attribute__((init_priority(101))) AheadReadForkSteps ahead_read_fork_steps;

class AheadRead {
 public:
  AheadRead() { pthread_rwlock_rdlock(&ahead_reads); }
  ~AheadRead() { pthread_rwlock_unlock(&ahead_reads); }
  AheadRead(const AheadRead&) = delete;
  AheadRead& operator=(const AheadRead&) = delete;
};

class PosixDebugHelp final : public DebugHelp {
 public:
  // Never inlined: the frame of this function is the one left out of the back-trace.
  __attribute__((noinline)) std::uint16_t capture_back_trace(std::uint32_t frames_to_skip,
                                                             std::uint32_t frames_to_capture,
                                                             std::uint64_t* back_trace,
                                                             std::uint32_t* hash) override {
    const std::uint32_t count =
        unwind_back_trace(frames_to_skip, std::min(frames_to_capture, 0xFFFFu), back_trace);
    if (hash != nullptr) *hash = back_trace_hash(back_trace, count);
    return static_cast<std::uint16_t>(count);
  }

  ProcessHandle current_process() override { return kCurrentProcess; }

  ModuleHandle executable_module() override { return executable().base; }

  std::uint32_t module_file_name(ModuleHandle module, wchar_t* buffer,
                                 std::uint32_t capacity) override {
    return copy_out(object_path(module), buffer, capacity);
  }

  ModuleHandle allocation_base(std::uint64_t address) override {
    if (address == 0) return nullptr;
    return object_base_of(reinterpret_cast<const void*>(address));
  }

  std::uint32_t environment_variable(const wchar_t* name, wchar_t* buffer,
                                     std::uint32_t size) override {
    return posix::environment_variable(name, buffer, size);
  }

  bool read_user_registry_value(const wchar_t*, const wchar_t*, std::uint32_t*, void*,
                                std::uint32_t*) override {
    return false;
  }

  void debug_output(const wchar_t* text) override { posix::debug_output(text); }

  std::uint32_t last_error() override { return last_error_code; }

  void set_symbol_options(std::uint32_t options) override {
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = options;
  }

  bool started_for_good() const override { return started_.load(); }

  bool initialize_symbols(ProcessHandle process, const wchar_t* search_path, bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (process != kCurrentProcess) {
      last_error_code = kErrorInvalidParameter;
      return false;
    }
    // A handler already started for the process keeps its first search path.
    if (started_.load()) return true;
    try {
      search_.folders = debug_folders(search_path != nullptr ? search_path : L"");
    } catch (const std::bad_alloc&) {
      last_error_code = kErrorNotEnoughMemory;
      return false;
    }
    // Modules are reported with their opened files, so find_elf is never asked.
    callbacks_.find_elf = dwfl_linux_proc_find_elf;
    callbacks_.find_debuginfo = find_debug_file;
    callbacks_.section_address = dwfl_offline_section_address;
    callbacks_.debuginfo_path = nullptr;
    started_.store(true);
    return true;
  }

  bool enumerate_loaded_modules(ProcessHandle, ModuleVisitor visitor, void* context) override {
    const std::vector<LoadedObject> objects = loaded_objects();
    for (const LoadedObject& object : objects) {
      if (!visitor(object.path.c_str(), object.base, static_cast<std::uint32_t>(object.size),
                   context)) {
        break;
      }
    }
    return true;
  }

  bool module_info(ProcessHandle, std::uint64_t base, ModuleRecord& record) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (modules_.find(base) == modules_.end()) return false;
    record.base_of_image = base;
    return true;
  }

  // Notes the module; its file is read when a frame inside it is first resolved.
  std::uint64_t load_module(ProcessHandle, const wchar_t* path, std::uint64_t base,
                            std::uint32_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_.load() || path == nullptr || size == 0) return 0;
    if (modules_.find(base) != modules_.end()) return base;
    modules_.emplace(base, std::make_shared<ModuleSymbols>(to_file_path(path), base, size,
                                                           &callbacks_, &search_));
    return base;
  }

  // The modules are taken from the list under `mutex_`, then loaded without it: each load holds
  // only its module's lock. A module unloaded from the handler meanwhile stays alive until its
  // load ends, and is then released here.
  void load_modules_at(ProcessHandle process, const std::uint64_t* addresses,
                       std::uint32_t count) override {
    if (process != kCurrentProcess || addresses == nullptr) return;
    const AheadRead reading;
    std::vector<std::shared_ptr<ModuleSymbols>> pending;
    try {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::uint32_t i = 0; i < count; ++i) {
          const auto found = reported_module_at(addresses[i]);
          if (found != modules_.end() && found->second->needs_loading() &&
              std::find(pending.begin(), pending.end(), found->second) == pending.end()) {
            pending.push_back(found->second);
          }
        }
      }
      for (const std::shared_ptr<ModuleSymbols>& module : pending) module->load();
    } catch (const std::bad_alloc&) {
      // The look-ups load what is still missing.
    }
  }

  void resolve_address(ProcessHandle process, std::uint64_t address,
                       AddressSymbols& symbols) override {
    std::lock_guard<std::mutex> lock(mutex_);
    symbols = AddressSymbols();
    short_of_memory_ = false;
    name_function(process, address, symbols);
    if (const Described* described = described_at(process, address)) {
      show_inlined_calls(described->info.calls, symbols);
    }
    SourceLine source;
    ShownFunction& innermost = symbols.inlined.empty() ? symbols.function : symbols.inlined[0];
    if (code_line(process, address, source)) {
      show_line(source, innermost);
      symbols.line_displacement = static_cast<std::uint32_t>(address - source.address);
    }
    symbols.complete = !short_of_memory_;
  }

  // The file is opened here, so that a missing file or another build gives null at once. libdw
  // maps the file (and its separate debug file); close_module_file() ends the session, which
  // unmaps and closes them. The file is read before `mutex_` is taken: until its handle is
  // handed out, no other thread can reach it.
  ProcessHandle open_module_file(const wchar_t* path, const ModuleIdentity& identity) override {
    if (!started_.load() || path == nullptr || identity.base == 0 || identity.size == 0) {
      return nullptr;
    }
    auto file = std::make_unique<ModuleFile>();
    {
      const AheadRead reading;
      file->symbols = ModuleSymbols::unloaded(to_file_path(path), identity, &callbacks_, &search_);
      if (file->symbols->functions() == nullptr) return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ModuleFile* handle = file.get();
    module_files_.emplace(handle, std::move(file));
    return handle;
  }

  ProcessHandle open_module_file_ahead(const wchar_t* path,
                                       const ModuleIdentity& identity) override {
    return open_module_file(path, identity);
  }

  void close_module_file(ProcessHandle file) override {
    std::lock_guard<std::mutex> lock(mutex_);
    module_files_.erase(file);
  }

  void unload_module(ProcessHandle, std::uint64_t base) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (modules_.erase(base) != 0) described_.clear();
  }

  bool is_signal_trampoline(std::uint64_t address) override {
    return address != 0 && posix::is_signal_trampoline(address);
  }

 private:
  // What the resolver found at one address.
  struct Described {
    AddressInfo info;  // addresses as the module's DWARF gives them
  };

  // A module file opened by open_module_file, with what was found in it.
  struct ModuleFile {
    std::unique_ptr<ModuleSymbols> symbols;
    std::unordered_map<std::uint64_t, Described> described;
  };

  ModuleFile* module_file(ProcessHandle process) {
    const auto found = module_files_.find(process);
    return found != module_files_.end() ? found->second.get() : nullptr;
  }

  // The search path's folders (as '/' paths, without entries that are no folders, such as
  // symbol-server entries), then libdw's own defaults: the module's folder, its ".debug"
  // subfolder, and /usr/lib/debug.
  static std::vector<std::string> debug_folders(const wchar_t* search_path) {
    std::vector<std::string> folders;
    std::string entry;
    const std::string text = to_file_path(search_path);
    for (std::size_t start = 0; start <= text.size();) {
      std::size_t end = text.find(';', start);
      if (end == std::string::npos) end = text.size();
      entry = text.substr(start, end - start);
      start = end + 1;
      if (entry.empty() || entry.find_first_of(":*") != std::string::npos) continue;
      folders.push_back(entry);
    }
    folders.insert(folders.end(), {"", ".debug", "/usr/lib/debug"});
    return folders;
  }

  std::string shown_name(const char* raw) const {
    return shown_function_name(raw, (options_ & kSymOptUndecorateNames) != 0);
  }

  // The symbol's shown name; where the demangler cannot read the symbol, the name its DWARF
  // entry gives, when there is one.
  std::string function_shown_name(ModuleSymbols& module, const FunctionSymbol& function) {
    std::string name = shown_name(function.name);
    if ((options_ & kSymOptUndecorateNames) == 0 || !still_mangled(name) ||
        module.module() == nullptr) {
      return name;
    }
    std::string from_dwarf;
    if (module.dwarf_reader() == ModuleSymbols::DwarfReader::kResolver) {
      AddressInfo info;
      if (resolver_describe(module, function.address, info) == Lookup::kFound &&
          info.has_function) {
        from_dwarf = info.function;
      }
    }
    return from_dwarf.empty() ? name : without_clone_tags(from_dwarf);
  }

  enum class Lookup { kFound, kNotFound, kShortOfMemory };

  // The resolver's description of `address` (a process address). A resolver that runs out of
  // memory is dropped, to be read afresh by the next look-up, and short_of_memory_ is set.
  Lookup resolver_describe(ModuleSymbols& module, std::uint64_t address, AddressInfo& info) {
    try {
      return module.resolver()->describe(address - module.bias(), info) ? Lookup::kFound
                                                                        : Lookup::kNotFound;
    } catch (const std::bad_alloc&) {
      module.drop_resolver();
      info = AddressInfo();
      short_of_memory_ = true;
      return Lookup::kShortOfMemory;
    }
  }

  // The line-table line of `address`.
  bool code_line(ProcessHandle process, std::uint64_t address, SourceLine& source) {
    ModuleSymbols* module = symbols_at(process, address);
    if (module == nullptr || module->module() == nullptr) return false;
    const Described* described = described_at(process, address);
    if (described == nullptr || !described->info.has_line) return false;
    source.file = described->info.file.c_str();
    source.line = described->info.line;
    source.address = described->info.line_address + module->bias();
    return true;
  }

  static void show_line(const SourceLine& source, ShownFunction& shown) {
    shown.has_line = source.file != nullptr;
    if (!shown.has_line) return;
    shown.file = source.file;
    shown.line = source.line;
  }

  // The symbol-table function that holds `address`, by its shown name.
  void name_function(ProcessHandle process, std::uint64_t address, AddressSymbols& symbols) {
    ModuleSymbols* module = symbols_at(process, address);
    FunctionTable* functions = module != nullptr ? module->functions() : nullptr;
    const FunctionSymbol* function = functions != nullptr ? functions->find(address) : nullptr;
    if (function == nullptr) return;
    std::string& kept = functions->shown_name(*function);
    if (kept.empty()) {
      // The first look-up of resolve_address(), so short_of_memory_ tells about this one alone.
      std::string shown = function_shown_name(*module, *function);
      // A name made while memory ran short may lack its DWARF form: not kept.
      if (!short_of_memory_) kept = shown;
      symbols.function.name = std::move(shown);
    } else {
      symbols.function.name = kept;
    }
    symbols.function.has_name = true;
    symbols.function_displacement = address - function->address;
  }

  // What the resolver says about `address`, kept (up to kKeptChains addresses; then the store
  // starts afresh; a failed look-up is not kept). An entry without function, line or calls when
  // nothing is known.
  const Described* described_at(ProcessHandle process, std::uint64_t address) {
    ModuleSymbols* module = symbols_at(process, address);
    if (module == nullptr || module->module() == nullptr) return &nothing_described_;
    const ModuleSymbols::DwarfReader reader = module->dwarf_reader();
    if (reader == ModuleSymbols::DwarfReader::kNone) return &nothing_described_;
    auto& described = described_of(process);
    const auto found = described.find(address);
    if (found != described.end()) return &found->second;
    Described fresh;
    if (resolver_describe(*module, address, fresh.info) == Lookup::kShortOfMemory) {
      return &nothing_described_;  // dropped for want of memory: nothing kept
    }
    try {
      if (described.size() >= kKeptChains) described.clear();
      return &described.emplace(address, std::move(fresh)).first->second;
    } catch (const std::bad_alloc&) {
      scratch_described_ = std::move(fresh);
      return &scratch_described_;
    }
  }

  std::unordered_map<std::uint64_t, Described>& described_of(ProcessHandle process) {
    ModuleFile* file = module_file(process);
    return file != nullptr ? file->described : described_;
  }

  // The module that holds `address`: for a module file's handle, that file's module; for any
  // other handle the reported one (null when none does).
  ModuleSymbols* symbols_at(ProcessHandle process, std::uint64_t address) {
    if (ModuleFile* file = module_file(process)) {
      return file->symbols->holds(address) ? file->symbols.get() : nullptr;
    }
    const auto found = reported_module_at(address);
    return found != modules_.end() ? found->second.get() : nullptr;
  }

  using ReportedModules = std::map<std::uint64_t, std::shared_ptr<ModuleSymbols>>;

  // The reported module that holds `address`; end() when none does.
  ReportedModules::const_iterator reported_module_at(std::uint64_t address) const {
    auto next = modules_.upper_bound(address);
    if (next == modules_.begin()) return modules_.end();
    --next;
    return next->second->holds(address) ? next : modules_.end();
  }

  // Guards everything below and every libdw call but those of a module's load, which hold the
  // module's own lock. Taken before a module's lock (a look-up that loads a module that was not
  // loaded ahead), never after one.
  std::mutex mutex_;
  std::uint32_t options_ = 0;
  // initialize_symbols succeeded; written under mutex_, read without it by started_for_good.
  std::atomic<bool> started_{false};
  Dwfl_Callbacks callbacks_ = {};
  DebugFileSearch search_;
  // By base: every module reported through load_module, loaded ahead of a resolution
  // (load_modules_at) or at its first look-up. Shared with the loads in progress.
  ReportedModules modules_;
  // By address, from the resolver; copies, but cleared whenever a module is unloaded all the
  // same, since an unloaded module's addresses may be taken by another.
  std::unordered_map<std::uint64_t, Described> described_;
  const Described nothing_described_{};
  Described scratch_described_;  // a description that could not be kept
  // Set while a resolve_address() call met an allocation failure: it then answers with less than
  // the module holds, and says so (AddressSymbols::complete).
  bool short_of_memory_ = false;
  // The module files open_module_file opened and close_module_file did not close yet.
  std::unordered_map<ProcessHandle, std::unique_ptr<ModuleFile>> module_files_;
};

std::atomic<PosixDebugHelp*> instance{nullptr};

// Releases the handler when the library is unloaded. Constructed before every other static
// object of the library, so its destructor runs after theirs: the resource monitor's release,
// which may still write a final report with resolved stacks, comes first. An unload happens when
// no code of the host runs in the library any more and its own threads have been joined. At
// process exit the handler is left to the system: a host thread may still be inside it.
struct ReleaseAtUnload {
  ~ReleaseAtUnload() {
    if (library_is_unloading()) delete instance.exchange(nullptr, std::memory_order_acq_rel);
  }
};
__attribute__((init_priority(101))) ReleaseAtUnload release_at_unload;

}  // namespace

DebugHelp& system_debug_help() {
  PosixDebugHelp* current = instance.load(std::memory_order_acquire);
  if (current != nullptr) return *current;
  watch_for_exit();  // so that an exit leaves the handler alone (ReleaseAtUnload)
  auto created = std::make_unique<PosixDebugHelp>();
  if (instance.compare_exchange_strong(current, created.get(), std::memory_order_acq_rel)) {
    return *created.release();
  }
  return *current;  // another thread was first
}

}  // namespace quillmark::platform
