// The debug-help seam on Windows: the kernel's back-trace, dbghelp's symbol handler, the registry
// under the current user and the debugger channel.
#include <windows.h>
// dbghelp.h needs the declarations of windows.h first.
#include <dbghelp.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "platform/debug_help.h"
#include "platform/inlined_calls.h"
#include "platform/win32/dwarf_modules.h"
#include "platform/win32/pe_identity.h"

namespace quillmark::platform {

namespace {

static_assert(sizeof(PVOID) == sizeof(std::uint64_t), "frames are stored as 64-bit values");

struct EnumerationContext {
  ModuleVisitor visitor;
  void* context;
};

// Some handlers (Wine's among them) report a module by its bare file name, which is no path to
// load symbols from; the loader knows the full path of the module at that base.
BOOL CALLBACK visit_module(PCWSTR name, DWORD64 base, ULONG size, PVOID user_context) {
  auto* enumeration = static_cast<EnumerationContext*>(user_context);
  wchar_t full_path[MAX_PATH] = {};
  const bool is_path = name != nullptr && (std::wcschr(name, L'\\') || std::wcschr(name, L'/'));
  if (!is_path && GetModuleFileNameW(reinterpret_cast<HMODULE>(base), full_path, MAX_PATH) != 0) {
    name = full_path;
  }
  return enumeration->visitor(name, base, size, enumeration->context) ? TRUE : FALSE;
}

// dbghelp's inline-frame interface. Older dbghelp versions lack it, so it is looked up at run
// time in the dbghelp the process loaded; a missing entry point leaves inlined calls unreported.
struct InlineFrameApi {
  using IncludeInlineTrace = DWORD(WINAPI*)(HANDLE, DWORD64);
  using QueryInlineTrace = BOOL(WINAPI*)(HANDLE, DWORD64, DWORD, DWORD64, DWORD64, LPDWORD,
                                         LPDWORD);
  using FromInlineContext = BOOL(WINAPI*)(HANDLE, DWORD64, ULONG, PDWORD64, PSYMBOL_INFOW);
  using LineFromInlineContext = BOOL(WINAPI*)(HANDLE, DWORD64, ULONG, DWORD64, PDWORD,
                                              PIMAGEHLP_LINEW64);

  IncludeInlineTrace include_inline_trace = nullptr;
  QueryInlineTrace query_inline_trace = nullptr;
  FromInlineContext from_inline_context = nullptr;
  LineFromInlineContext line_from_inline_context = nullptr;

  bool available() const {
    return include_inline_trace != nullptr && query_inline_trace != nullptr &&
           from_inline_context != nullptr && line_from_inline_context != nullptr;
  }

  template <typename Function>
  static Function find(HMODULE dbghelp, const char* name) {
    // The entry points have the types declared above; FARPROC is only the loader's carrier.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(dbghelp, name)));
  }

  static const InlineFrameApi& get() {
    static const InlineFrameApi api = [] {
      InlineFrameApi found;
      const HMODULE dbghelp = GetModuleHandleW(L"dbghelp.dll");
      if (dbghelp == nullptr) return found;
      found.include_inline_trace = find<IncludeInlineTrace>(dbghelp, "SymAddrIncludeInlineTrace");
      found.query_inline_trace = find<QueryInlineTrace>(dbghelp, "SymQueryInlineTrace");
      found.from_inline_context = find<FromInlineContext>(dbghelp, "SymFromInlineContextW");
      found.line_from_inline_context =
          find<LineFromInlineContext>(dbghelp, "SymGetLineFromInlineContextW");
      return found;
    }();
    return api;
  }
};

// SYMBOL_INFOW ends in the first character of its name; the rest follows it.
constexpr ULONG kMaxNameLength = 256;
union SymbolBuffer {
  SYMBOL_INFOW info;
  unsigned char bytes[sizeof(SYMBOL_INFOW) + kMaxNameLength * sizeof(WCHAR)];
};

void prepare(SymbolBuffer& record) {
  record.info.SizeOfStruct = sizeof(SYMBOL_INFOW);
  record.info.MaxNameLen = kMaxNameLength;
}

// dbghelp's UTF-16 as UTF-8; a lone surrogate becomes U+FFFD.
std::string utf8_of(const wchar_t* text, std::size_t length) {
  if (text == nullptr || length == 0) return std::string();
  const int units = static_cast<int>(length);
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(std::max(size, 0)), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, units, utf8.data(), size, nullptr, nullptr);
  return utf8;
}

void show_name(const SymbolBuffer& record, ShownFunction& shown) {
  shown.has_name = true;
  shown.name = utf8_of(record.info.Name, std::min(record.info.NameLen, record.info.MaxNameLen));
}

void show_line(const IMAGEHLP_LINEW64& record, ShownFunction& shown) {
  shown.has_line = true;
  shown.file = record.FileName != nullptr ? utf8_of(record.FileName, std::wcslen(record.FileName))
                                          : std::string();
  shown.line = record.LineNumber;
}

// Whether the image file at `path` is the build `identity` names, by the fields of its PE headers
// that module_identity.cpp reads in memory (pe_identity.h). Read as data, with
// every kind of sharing allowed, so that nothing waits for or blocks the file.
bool same_build_on_disk(const wchar_t* path, const ModuleIdentity& identity) {
  const HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  unsigned char headers[4096] = {};
  DWORD read = 0;
  const bool got = ReadFile(file, headers, sizeof headers, &read, nullptr) != FALSE;
  CloseHandle(file);
  IMAGE_DOS_HEADER dos;
  IMAGE_NT_HEADERS nt;
  if (!got || read < sizeof dos) return false;
  std::memcpy(&dos, headers, sizeof dos);
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
      static_cast<DWORD>(dos.e_lfanew) > read - sizeof nt) {
    return false;
  }
  std::memcpy(&nt, headers + dos.e_lfanew, sizeof nt);
  if (nt.Signature != IMAGE_NT_SIGNATURE) return false;
  return same_module(win32::pe_identity(&nt, identity.base), identity);
}

class Win32DebugHelp final : public DebugHelp {
 public:
  // Never inlined: the frame of this function is the one left out of the back-trace.
  __attribute__((noinline)) std::uint16_t capture_back_trace(std::uint32_t frames_to_skip,
                                                             std::uint32_t frames_to_capture,
                                                             std::uint64_t* back_trace,
                                                             std::uint32_t* hash) override {
    DWORD trace_hash = 0;
    const WORD count = RtlCaptureStackBackTrace(frames_to_skip + 1, frames_to_capture,
                                                reinterpret_cast<PVOID*>(back_trace),
                                                hash ? &trace_hash : nullptr);
    if (hash != nullptr) *hash = trace_hash;
    return count;
  }

  ProcessHandle current_process() override { return GetCurrentProcess(); }

  ModuleHandle executable_module() override { return GetModuleHandleW(nullptr); }

  std::uint32_t module_file_name(ModuleHandle module, wchar_t* buffer,
                                 std::uint32_t capacity) override {
    return GetModuleFileNameW(static_cast<HMODULE>(module), buffer, capacity);
  }

  ModuleHandle allocation_base(std::uint64_t address) override {
    MEMORY_BASIC_INFORMATION region = {};
    if (VirtualQuery(reinterpret_cast<LPCVOID>(address), &region, sizeof region) != sizeof region) {
      return nullptr;
    }
    return region.AllocationBase;
  }

  std::uint32_t environment_variable(const wchar_t* name, wchar_t* buffer,
                                     std::uint32_t size) override {
    return GetEnvironmentVariableW(name, buffer, size);
  }

  bool read_user_registry_value(const wchar_t* key, const wchar_t* value, std::uint32_t* type,
                                void* data, std::uint32_t* size) override {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
      return false;
    }
    DWORD value_type = 0;
    DWORD value_size = *size;
    const LSTATUS status = RegQueryValueExW(opened, value, nullptr, &value_type,
                                            static_cast<LPBYTE>(data), &value_size);
    RegCloseKey(opened);
    *type = value_type;
    *size = value_size;
    return status == ERROR_SUCCESS;
  }

  void debug_output(const wchar_t* text) override { OutputDebugStringW(text); }

  std::uint32_t last_error() override { return GetLastError(); }

  void set_symbol_options(std::uint32_t options) override { SymSetOptions(options); }

  bool initialize_symbols(ProcessHandle process, const wchar_t* search_path,
                          bool invade_process) override {
    return SymInitializeW(process, search_path, invade_process ? TRUE : FALSE) != FALSE;
  }

  bool enumerate_loaded_modules(ProcessHandle process, ModuleVisitor visitor,
                                void* context) override {
    EnumerationContext enumeration{visitor, context};
    return EnumerateLoadedModulesW64(process, visit_module, &enumeration) != FALSE;
  }

  bool module_info(ProcessHandle process, std::uint64_t base, ModuleRecord& record) override {
    IMAGEHLP_MODULEW64 module = {};
    module.SizeOfStruct = sizeof module;
    if (!SymGetModuleInfoW64(process, base, &module)) return false;
    record.base_of_image = module.BaseOfImage;
    if (module.BaseOfImage == base) note_loaded_module(process, base, module.LoadedImageName);
    return true;
  }

  std::uint64_t load_module(ProcessHandle process, const wchar_t* path, std::uint64_t base,
                            std::uint32_t size) override {
    const DWORD64 loaded =
        SymLoadModuleExW(process, nullptr, path, nullptr, base, size, nullptr, 0);
    if (loaded == base) note_loaded_module(process, base, path);
    return loaded;
  }

  // Only the modules the DWARF reader describes: dbghelp reads its own under its single lock.
  void load_modules_at(ProcessHandle process, const std::uint64_t* addresses,
                       std::uint32_t count) override {
    if (addresses == nullptr) return;
    try {
      dwarf_.read_ahead(process, addresses, count);
    } catch (const std::bad_alloc&) {
      // The look-ups read what is still unread.
    }
  }

  // A module whose file carries DWARF is described by the DWARF reader (inlined calls and the
  // line of a call included); dbghelp describes the others, and the lines DWARF lacks.
  void resolve_address(ProcessHandle process, std::uint64_t address,
                       AddressSymbols& symbols) override {
    symbols = AddressSymbols();
    debuginfo::AddressInfo frame;
    const bool described = dwarf_.describe(process, address, frame);
    const bool by_dwarf = described && frame.has_function;
    std::uint32_t inlined_by_dbghelp = 0;
    if (by_dwarf) {
      show_dwarf_function(frame, address, symbols);
    } else {
      show_dbghelp_function(process, address, symbols);
      inlined_by_dbghelp = add_dbghelp_calls(process, address, symbols);
    }
    ShownFunction& innermost = symbols.inlined.empty() ? symbols.function : symbols.inlined[0];
    if (described && frame.has_line) {
      innermost.has_line = true;
      innermost.file = frame.file;
      innermost.line = frame.line;
      symbols.line_displacement = static_cast<std::uint32_t>(address - frame.line_address);
    } else {
      show_dbghelp_line(process, address, inlined_by_dbghelp, innermost, symbols);
    }
  }

  // Each file gets a symbol-handler session of its own, named by a handle that is no process (as
  // dbghelp allows when it is not asked to invade the process): the file is read as data at the
  // recorded base, whatever the process has there now, and SymCleanup releases the file.
  ProcessHandle open_module_file(const wchar_t* path, const ModuleIdentity& identity) override {
    if (path == nullptr || identity.base == 0 || identity.size == 0 ||
        !same_build_on_disk(path, identity)) {
      return nullptr;
    }
    auto session = std::make_unique<char>();
    const HANDLE handle = session.get();
    wchar_t search_path[2048] = {};
    if (!SymGetSearchPathW(GetCurrentProcess(), search_path, ARRAYSIZE(search_path))) {
      search_path[0] = L'\0';
    }
    if (!SymInitializeW(handle, search_path[0] != L'\0' ? search_path : nullptr, FALSE)) {
      return nullptr;
    }
    if (SymLoadModuleExW(handle, nullptr, path, nullptr, identity.base,
                         static_cast<DWORD>(identity.size), nullptr, 0) != identity.base) {
      SymCleanup(handle);
      return nullptr;
    }
    dwarf_.note(handle, identity, path);
    return session.release();
  }

  void close_module_file(ProcessHandle file) override {
    if (file == nullptr) return;
    dwarf_.forget_all(file);
    SymCleanup(file);
    delete static_cast<char*>(file);
  }

  void unload_module(ProcessHandle process, std::uint64_t base) override {
    dwarf_.forget(process, base);
    SymUnloadModule64(process, base);
  }

 private:
  // A module of the process that dbghelp has symbols for, noted with the build that is mapped at
  // its base now: its DWARF, if its file has any, is read directly.
  void note_loaded_module(ProcessHandle process, std::uint64_t base, const wchar_t* path) {
    if (process != GetCurrentProcess() || path == nullptr || path[0] == L'\0') return;
    ModuleIdentity identity;
    identify_modules(&base, 1, &identity);
    if (identity.base == base) dwarf_.note(process, identity, path);
  }

  static void show_dwarf_function(const debuginfo::AddressInfo& frame, std::uint64_t address,
                                  AddressSymbols& symbols) {
    symbols.function.has_name = true;
    symbols.function.name = frame.function;
    symbols.function_displacement = address - frame.function_start;
    show_inlined_calls(frame.calls, symbols);
  }

  static void show_dbghelp_function(ProcessHandle process, std::uint64_t address,
                                    AddressSymbols& symbols) {
    SymbolBuffer record = {};
    prepare(record);
    DWORD64 offset = 0;
    if (!SymFromAddrW(process, address, &offset, &record.info)) return;
    show_name(record, symbols.function);
    symbols.function_displacement = offset;
  }

  // dbghelp's inlined calls at `address`, with the line of each call but the innermost's (see
  // show_dbghelp_line); returns how many dbghelp reported.
  static std::uint32_t add_dbghelp_calls(ProcessHandle process, std::uint64_t address,
                                         AddressSymbols& symbols) {
    const InlineFrameApi& api = InlineFrameApi::get();
    DWORD innermost = 0;
    const std::uint32_t count = api.available() ? api.include_inline_trace(process, address) : 0;
    if (count == 0 || !innermost_context(process, address, &innermost)) return 0;
    symbols.inlined.resize(count);
    for (std::uint32_t depth = 0; depth <= count; ++depth) {
      ShownFunction& shown = depth < count ? symbols.inlined[depth] : symbols.function;
      SymbolBuffer record = {};
      prepare(record);
      DWORD64 offset = 0;
      if (depth < count &&
          api.from_inline_context(process, address, innermost + depth, &offset, &record.info)) {
        show_name(record, shown);
      }
      IMAGEHLP_LINEW64 line = {};
      line.SizeOfStruct = sizeof line;
      DWORD line_offset = 0;
      if (depth > 0 && api.line_from_inline_context(process, address, innermost + depth, 0,
                                                    &line_offset, &line)) {
        show_line(line, shown);
      }
    }
    return count;
  }

  // The line of `address` itself, in the frame `innermost`.
  static void show_dbghelp_line(ProcessHandle process, std::uint64_t address,
                                std::uint32_t inlined_calls, ShownFunction& innermost,
                                AddressSymbols& symbols) {
    IMAGEHLP_LINEW64 line = {};
    line.SizeOfStruct = sizeof line;
    DWORD offset = 0;
    DWORD context = 0;
    const bool found = inlined_calls == 0
                           ? SymGetLineFromAddrW64(process, address, &offset, &line) != FALSE
                           : innermost_context(process, address, &context) &&
                                 InlineFrameApi::get().line_from_inline_context(
                                     process, address, context, 0, &offset, &line);
    if (!found) return;
    show_line(line, innermost);
    symbols.line_displacement = offset;
  }

  win32::DwarfModules dwarf_;

  // The inline context of the innermost inlined call at `address`: dbghelp numbers the frames
  // of one address consecutively from it.
  static bool innermost_context(ProcessHandle process, std::uint64_t address, DWORD* context) {
    const InlineFrameApi& api = InlineFrameApi::get();
    DWORD frame_index = 0;
    return api.available() &&
           api.query_inline_trace(process, address, 0, address, address, context, &frame_index);
  }
};

}  // namespace

DebugHelp& system_debug_help() {
  // Never destroyed, so stacks can still be described while statics are being torn down.
  static auto* instance = new Win32DebugHelp();
  return *instance;
}

CriticalSection::CriticalSection() : native_(nullptr) {
  auto* section = new CRITICAL_SECTION;
  // Unlike the plain initialiser, this one reports running out of memory instead of raising it;
  // such a lock is left unprepared (see the header).
  if (InitializeCriticalSectionAndSpinCount(section, 0)) {
    native_ = section;
  } else {
    delete section;
  }
}

CriticalSection::~CriticalSection() {
  auto* section = static_cast<CRITICAL_SECTION*>(native_);
  if (section == nullptr) return;
  DeleteCriticalSection(section);
  delete section;
}

void CriticalSection::enter() {
  if (native_ != nullptr) EnterCriticalSection(static_cast<CRITICAL_SECTION*>(native_));
}

void CriticalSection::leave() {
  if (native_ != nullptr) LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(native_));
}

}  // namespace quillmark::platform
