// The debug-help seam on Linux.
//
// - Capture: libgcc's unwinder (_Unwind_Backtrace), the same one C++ exceptions use, so nothing
//   here can take over the host's exception unwinding. The hash is FNV-1a over the addresses.
// - Symbols: libdw. Modules come from dl_iterate_phdr (the executable under its /proc/self/exe
//   path, the vDSO left out) and are reported to one Dwfl; the search path becomes libdw's
//   debuginfo_path, so separate debug files beside the executable, in "../pdb" or "SymbolTable"
//   are found. Names are demangled with abi::__cxa_demangle and shown like undecorated Windows
//   names (qualified name, no parameter list); version suffixes such as "@@GLIBC_2.34" go.
//   libdw is not thread-safe: every Dwfl call holds `mutex_`.
// - Module of an address: dladdr; the executable's file name is /proc/self/exe, not argv[0].
// - Registry: Linux has none, so every read finds nothing. Environment: the real one.
// - Debugger output: Linux has no debugger channel. The text goes to standard error while a
//   debugger (a tracer, as /proc/self/status reports it) is attached, and nowhere otherwise,
//   just as Windows shows it only in an attached debugger.
// Paths given to the handler are in the backslash form of the subsystem's path normalisation
// and are turned back into '/' paths here.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <utf8cpp/utf8.h>

#include "platform/debug_help.h"

namespace quillmark::platform {

namespace {

static_assert(sizeof(wchar_t) == 4, "wide text is UTF-32 here");

// The same value as the Windows current-process pseudo-handle.
ProcessHandle const kCurrentProcess = reinterpret_cast<ProcessHandle>(~std::uintptr_t{0});
constexpr std::uint32_t kFirstFnvHash = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;
// Error codes reported by last_error(), in the Windows numbering.
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorInvalidParameter = 87;

thread_local std::uint32_t last_error_code = 0;

std::wstring to_wide(const std::string& utf8_text) {
  std::string valid;
  utf8::replace_invalid(utf8_text.begin(), utf8_text.end(), std::back_inserter(valid));
  std::wstring wide;
  utf8::utf8to32(valid.begin(), valid.end(), std::back_inserter(wide));
  return wide;
}

std::string to_utf8(const wchar_t* wide) {
  std::string text;
  for (; *wide != L'\0'; ++wide) {
    auto code_point = static_cast<std::uint32_t>(*wide);
    if (code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
      code_point = 0xFFFD;
    }
    utf8::append(code_point, std::back_inserter(text));
  }
  return text;
}

// A path in the subsystem's backslash form as a file-system path.
std::string to_file_path(const wchar_t* path) {
  std::string text = to_utf8(path);
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

std::uint32_t copy_out(const std::wstring& text, wchar_t* buffer, std::uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return 0;
  const std::size_t length = std::min<std::size_t>(text.size(), capacity - 1);
  std::wmemcpy(buffer, text.data(), length);
  buffer[length] = L'\0';
  return static_cast<std::uint32_t>(length);
}

std::string executable_path() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return std::string();
  return std::string(path, static_cast<std::size_t>(length));
}

ModuleHandle module_of(const void* address) {
  Dl_info info = {};
  if (dladdr(address, &info) == 0) return nullptr;
  return info.dli_fbase;
}

// The executable's module and path; neither changes during the life of the process.
struct Executable {
  ModuleHandle module;
  std::wstring path;
};

const Executable& executable() {
  // The program headers of the executable lie inside its first mapping.
  static const Executable instance{module_of(reinterpret_cast<const void*>(getauxval(AT_PHDR))),
                                   to_wide(executable_path())};
  return instance;
}

bool debugger_attached() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::atol(line.c_str() + 10) != 0;
  }
  return false;
}

// Drops a symbol version ("memcpy@@GLIBC_2.14" -> "memcpy").
std::string without_version(const char* name) {
  const char* at = std::strchr(name, '@');
  return at == nullptr ? std::string(name) : std::string(name, at);
}

// "ns::Type::run(int) const" -> "ns::Type::run": the form of an undecorated Windows name.
std::string without_parameter_list(const std::string& name) {
  std::size_t end = name.size();
  const auto strip_suffix = [&](const char* suffix) {
    const std::size_t length = std::strlen(suffix);
    if (end >= length && name.compare(end - length, length, suffix) == 0) {
      end -= length;
      return true;
    }
    return false;
  };
  while (strip_suffix(" const") || strip_suffix(" volatile") || strip_suffix(" &&") ||
         strip_suffix(" &")) {
  }
  if (end == 0 || name[end - 1] != ')') return name;
  int depth = 0;
  for (std::size_t i = end; i-- > 0;) {
    if (name[i] == ')') ++depth;
    if (name[i] == '(' && --depth == 0) return i == 0 ? name : name.substr(0, i);
  }
  return name;
}

std::string undecorated(const std::string& name) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || demangled == nullptr) return name;
  std::string result = without_parameter_list(demangled);
  std::free(demangled);
  return result;
}

struct LoadedObject {
  std::wstring path;
  std::uint64_t base;
  std::uint64_t size;
  std::uint64_t bias;
};

struct ObjectList {
  std::vector<LoadedObject> objects;
  bool first = true;  // the loader reports the executable first
};

int collect_object(dl_phdr_info* info, std::size_t, void* context) {
  auto* list = static_cast<ObjectList*>(context);
  const bool is_executable = list->first;
  list->first = false;
  std::uint64_t low = UINT64_MAX;
  std::uint64_t high = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    low = std::min<std::uint64_t>(low, segment.p_vaddr & ~(std::uint64_t{segment.p_align} - 1));
    high = std::max<std::uint64_t>(high, segment.p_vaddr + segment.p_memsz);
  }
  if (low >= high) return 0;
  const std::uint64_t base = info->dlpi_addr + low;
  const bool is_vdso = base == getauxval(AT_SYSINFO_EHDR);
  if (is_vdso || (!is_executable && (info->dlpi_name == nullptr || *info->dlpi_name == '\0'))) {
    return 0;
  }
  const std::string path = is_executable ? executable_path() : std::string(info->dlpi_name);
  list->objects.push_back({to_wide(path), base, high - low, info->dlpi_addr});
  return 0;
}

struct UnwindState {
  std::uint64_t* back_trace;
  std::uint32_t to_skip;
  std::uint32_t capacity;
  std::uint32_t count;
};

_Unwind_Reason_Code record_frame(_Unwind_Context* context, void* argument) {
  auto* state = static_cast<UnwindState*>(argument);
  const std::uint64_t pc = _Unwind_GetIP(context);
  if (pc == 0) return _URC_END_OF_STACK;
  if (state->to_skip > 0) {
    --state->to_skip;
    return _URC_NO_REASON;
  }
  if (state->count >= state->capacity) return _URC_END_OF_STACK;
  state->back_trace[state->count++] = pc;
  return _URC_NO_REASON;
}

// A function of a module's symbol table, with the name it is shown under once looked up.
struct FunctionSymbol {
  std::uint64_t address;
  std::uint64_t size;
  const char* name;  // owned by libdw, alive as long as the Dwfl
  int binding_rank;  // global before weak before local, for aliases at one address
  std::wstring shown_name;
};

// The function symbols of one module, sorted by address. libdw's own address look-up scans the
// whole symbol table on every call; this table is built once per module and searched in
// logarithmic time.
class FunctionTable {
 public:
  explicit FunctionTable(Dwfl_Module* module) {
    const int count = dwfl_module_getsymtab(module);
    for (int i = 1; i < count; ++i) {
      GElf_Sym symbol = {};
      GElf_Addr address = 0;
      const char* name =
          dwfl_module_getsym_info(module, i, &symbol, &address, nullptr, nullptr, nullptr);
      const int type = GELF_ST_TYPE(symbol.st_info);
      if (name == nullptr || *name == '\0' || address == 0 ||
          (type != STT_FUNC && type != STT_GNU_IFUNC)) {
        continue;
      }
      functions_.push_back({address, symbol.st_size, name, rank(GELF_ST_BIND(symbol.st_info)), {}});
    }
    std::sort(functions_.begin(), functions_.end(), [](const auto& a, const auto& b) {
      return a.address != b.address ? a.address < b.address : a.binding_rank < b.binding_rank;
    });
    // Of several names at one address, keep the best-ranked.
    functions_.erase(
        std::unique(functions_.begin(), functions_.end(),
                    [](const auto& a, const auto& b) { return a.address == b.address; }),
        functions_.end());
  }

  // The function that holds `address`; a function of unknown size reaches up to the next one.
  FunctionSymbol* find(std::uint64_t address) {
    auto next = std::upper_bound(functions_.begin(), functions_.end(), address,
                                 [](std::uint64_t a, const auto& f) { return a < f.address; });
    if (next == functions_.begin()) return nullptr;
    FunctionSymbol& function = *std::prev(next);
    const bool inside = function.size != 0 ? address - function.address < function.size
                                           : next == functions_.end() || address < next->address;
    return inside ? &function : nullptr;
  }

 private:
  static int rank(int binding) {
    if (binding == STB_GLOBAL) return 0;
    return binding == STB_WEAK ? 1 : 2;
  }

  std::vector<FunctionSymbol> functions_;
};

class PosixDebugHelp final : public DebugHelp {
 public:
  ~PosixDebugHelp() override {
    if (dwfl_ != nullptr) dwfl_end(dwfl_);
  }

  // Never inlined: the frame of this function is the one left out of the back-trace.
  __attribute__((noinline)) std::uint16_t capture_back_trace(std::uint32_t frames_to_skip,
                                                             std::uint32_t frames_to_capture,
                                                             std::uint64_t* back_trace,
                                                             std::uint32_t* hash) override {
    // The unwinder's first frame is this function's.
    UnwindState state{back_trace, frames_to_skip + 1, std::min(frames_to_capture, 0xFFFFu), 0};
    _Unwind_Backtrace(record_frame, &state);
    std::uint32_t fnv = kFirstFnvHash;
    for (std::uint32_t i = 0; i < state.count; ++i) {
      for (int shift = 0; shift < 64; shift += 8) {
        fnv = (fnv ^ static_cast<std::uint8_t>(back_trace[i] >> shift)) * kFnvPrime;
      }
    }
    *hash = fnv;
    return static_cast<std::uint16_t>(state.count);
  }

  ProcessHandle current_process() override { return kCurrentProcess; }

  ModuleHandle executable_module() override { return executable().module; }

  std::uint32_t module_file_name(ModuleHandle module, wchar_t* buffer,
                                 std::uint32_t capacity) override {
    if (module == nullptr) return 0;
    if (module == executable().module) return copy_out(executable().path, buffer, capacity);
    Dl_info info = {};
    if (dladdr(module, &info) == 0 || info.dli_fbase != module || info.dli_fname == nullptr) {
      return 0;
    }
    return copy_out(to_wide(info.dli_fname), buffer, capacity);
  }

  ModuleHandle allocation_base(std::uint64_t address) override {
    if (address == 0) return nullptr;
    return module_of(reinterpret_cast<const void*>(address));
  }

  std::uint32_t environment_variable(const wchar_t* name, wchar_t* buffer,
                                     std::uint32_t size) override {
    const char* value = std::getenv(to_utf8(name).c_str());
    if (value == nullptr) return 0;
    const std::wstring wide = to_wide(value);
    const auto needed = static_cast<std::uint32_t>(wide.size() + 1);
    if (buffer == nullptr || size < needed) return needed;
    return copy_out(wide, buffer, size);
  }

  bool read_user_registry_value(const wchar_t*, const wchar_t*, std::uint32_t*, void*,
                                std::uint32_t*) override {
    return false;
  }

  void debug_output(const wchar_t* text) override {
    if (!debugger_attached()) return;
    std::fputs(to_utf8(text).c_str(), stderr);
  }

  std::uint32_t last_error() override { return last_error_code; }

  void set_symbol_options(std::uint32_t options) override {
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = options;
  }

  bool initialize_symbols(ProcessHandle process, const wchar_t* search_path, bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (process != kCurrentProcess) {
      last_error_code = kErrorInvalidParameter;
      return false;
    }
    // A handler already started for the process keeps its first search path.
    if (dwfl_ != nullptr) return true;
    debuginfo_path_ = debuginfo_path(search_path != nullptr ? search_path : L"");
    debuginfo_path_pointer_ = debuginfo_path_.data();
    callbacks_.find_elf = dwfl_linux_proc_find_elf;
    callbacks_.find_debuginfo = dwfl_standard_find_debuginfo;
    callbacks_.section_address = dwfl_offline_section_address;
    callbacks_.debuginfo_path = &debuginfo_path_pointer_;
    dwfl_ = dwfl_begin(&callbacks_);
    if (dwfl_ == nullptr) {
      last_error_code = kErrorNotEnoughMemory;
      return false;
    }
    return true;
  }

  bool enumerate_loaded_modules(ProcessHandle, ModuleVisitor visitor, void* context) override {
    ObjectList list;
    dl_iterate_phdr(collect_object, &list);
    const std::vector<LoadedObject>& objects = list.objects;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const LoadedObject& object : objects) bias_by_base_[object.base] = object.bias;
    }
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
    Dwfl_Module* module = module_at(base);
    if (module == nullptr) return false;
    Dwarf_Addr start = 0;
    dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr);
    record.base_of_image = start;
    return true;
  }

  std::uint64_t load_module(ProcessHandle, const wchar_t* path, std::uint64_t base,
                            std::uint32_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (dwfl_ == nullptr || path == nullptr) return 0;
    if (module_at(base) != nullptr) return base;
    const auto bias = bias_by_base_.find(base);
    const std::string file = to_file_path(path);
    const char* slash = std::strrchr(file.c_str(), '/');
    dwfl_report_begin_add(dwfl_);
    Dwfl_Module* module =
        dwfl_report_elf(dwfl_, slash != nullptr ? slash + 1 : file.c_str(), file.c_str(), -1,
                        bias != bias_by_base_.end() ? bias->second : base, false);
    dwfl_report_end(dwfl_, nullptr, nullptr);
    return module != nullptr ? base : 0;
  }

  bool symbol_from_address(ProcessHandle, std::uint64_t address, std::uint64_t* displacement,
                           SymbolRecord& symbol) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Dwfl_Module* module = module_at(address);
    if (module == nullptr) return false;
    FunctionSymbol* function = functions_of(module).find(address);
    if (function == nullptr) return false;
    if (function->shown_name.empty()) {
      const std::string name = without_version(function->name);
      const bool undecorate = (options_ & kSymOptUndecorateNames) != 0;
      function->shown_name = to_wide(undecorate ? undecorated(name) : name);
    }
    const std::uint32_t room = std::min(symbol.max_name_len, SymbolRecord::kMaxNameLength);
    copy_out(function->shown_name, symbol.name, room + 1);
    *displacement = address - function->address;
    return true;
  }

  bool line_from_address(ProcessHandle, std::uint64_t address, std::uint32_t* displacement,
                         LineRecord& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Dwfl_Module* module = module_at(address);
    if (module == nullptr) return false;
    Dwfl_Line* source = dwfl_module_getsrc(module, address);
    if (source == nullptr) return false;
    Dwarf_Addr line_address = 0;
    int line_number = 0;
    const char* file =
        dwfl_lineinfo(source, &line_address, &line_number, nullptr, nullptr, nullptr);
    if (file == nullptr) return false;
    // Code without line information (start-up objects, hand-written assembly) gets the nearest
    // line before it from libdw, which belongs to another function: a line that starts before
    // the function holding the address is not its line.
    const FunctionSymbol* function = functions_of(module).find(address);
    if (function != nullptr && line_address < function->address) return false;
    line_file_ = to_wide(file);
    line.file_name = line_file_.c_str();
    line.line_number = static_cast<std::uint32_t>(line_number);
    line.address = line_address;
    *displacement = static_cast<std::uint32_t>(address - line_address);
    return true;
  }

 private:
  // libdw's debuginfo_path: the search path's folders (as '/' paths, without entries libdw
  // cannot take, such as symbol-server entries), then libdw's own defaults.
  static std::string debuginfo_path(const wchar_t* search_path) {
    std::string path;
    std::string entry;
    const std::string text = to_file_path(search_path);
    for (std::size_t start = 0; start <= text.size();) {
      std::size_t end = text.find(';', start);
      if (end == std::string::npos) end = text.size();
      entry = text.substr(start, end - start);
      start = end + 1;
      if (entry.empty() || entry.find_first_of(":*") != std::string::npos) continue;
      path += entry;
      path += ':';
    }
    return path + ":.debug:/usr/lib/debug";
  }

  FunctionTable& functions_of(Dwfl_Module* module) {
    auto found = functions_.find(module);
    if (found == functions_.end()) {
      found = functions_.emplace(module, std::make_unique<FunctionTable>(module)).first;
    }
    return *found->second;
  }

  Dwfl_Module* module_at(std::uint64_t address) {
    return dwfl_ == nullptr ? nullptr : dwfl_addrmodule(dwfl_, address);
  }

  std::mutex mutex_;  // guards everything below and every libdw call
  std::uint32_t options_ = 0;
  Dwfl* dwfl_ = nullptr;
  Dwfl_Callbacks callbacks_ = {};
  std::string debuginfo_path_;
  char* debuginfo_path_pointer_ = nullptr;
  std::map<std::uint64_t, std::uint64_t> bias_by_base_;  // from the last module enumeration
  std::wstring line_file_;  // the file name handed out by the last line look-up
  std::map<Dwfl_Module*, std::unique_ptr<FunctionTable>> functions_;  // built on first look-up
};

}  // namespace

DebugHelp& system_debug_help() {
  // Never destroyed, so stacks can still be described while statics are being torn down.
  static auto* instance = new PosixDebugHelp();
  return *instance;
}

CriticalSection::CriticalSection() : native_(new std::recursive_mutex()) {}

CriticalSection::~CriticalSection() { delete static_cast<std::recursive_mutex*>(native_); }

void CriticalSection::enter() { static_cast<std::recursive_mutex*>(native_)->lock(); }

void CriticalSection::leave() { static_cast<std::recursive_mutex*>(native_)->unlock(); }

}  // namespace quillmark::platform
