#include "callstack/symbol_handler.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include <fmt/xchar.h>

#include "callstack/path_text.h"
#include "callstack/resolution_lock.h"

namespace resmonitor {

namespace {

using quillmark::platform::CriticalSectionGuard;
using quillmark::platform::debug_help;
using quillmark::platform::DebugHelp;

// Debug output, source lines, symbols loaded on first use, undecorated names.
constexpr std::uint32_t kSymbolOptions =
    quillmark::platform::kSymOptDebug | quillmark::platform::kSymOptLoadLines |
    quillmark::platform::kSymOptDeferredLoads | quillmark::platform::kSymOptUndecorateNames;

const wchar_t kInitFailedWarning[] =
    L"WARNING: Quillmark: The symbol handler failed to initialize (error=%lu).\n"
    L"    File and function names will probably not be available in call stacks.\n";

constexpr std::uint32_t kExecutablePathCapacity = 260;
constexpr std::size_t kExecutablePathBuffer = 1040;
const wchar_t* const kSymbolPathVariables[] = {L"_NT_SYMBOL_PATH", L"_NT_ALT_SYMBOL_PATH",
                                               L"_NT_ALTERNATE_SYMBOL_PATH"};
// Visual Studio versions whose debugger settings may name a symbol cache, oldest first.
constexpr unsigned kFirstDebuggerVersion = 9;
constexpr unsigned kLastDebuggerVersion = 14;
constexpr std::size_t kRegistryKeyCapacity = 260;
constexpr std::size_t kCacheDirCapacity = 260;
constexpr std::size_t kMessageCapacity = 512;
constexpr std::size_t kMultibyteCapacity = 5120;

// The executable's folder with its trailing separator; empty when the path cannot be read.
std::wstring executable_folder(DebugHelp& help) {
  wchar_t path[kExecutablePathBuffer] = {};
  help.module_file_name(help.executable_module(), path, kExecutablePathCapacity);
  path[kExecutablePathCapacity - 1] = L'\0';
  return path_text::remove_filename(path_text::normalize(path));
}

void append_entry(std::wstring& path, const std::wstring& entry) {
  path += entry;
  path += L';';
}

void append_environment_entries(DebugHelp& help, std::wstring& path) {
  for (const wchar_t* name : kSymbolPathVariables) {
    const std::uint32_t needed = help.environment_variable(name, nullptr, 0);
    if (needed == 0) continue;
    std::unique_ptr<wchar_t[]> value(new wchar_t[needed]());
    const std::uint32_t read = help.environment_variable(name, value.get(), needed);
    // A value that grew between the two reads was not read at all.
    if (read == 0 || read >= needed) continue;
    append_entry(path, value.get());
  }
}

void append_debugger_symbol_caches(DebugHelp& help, std::wstring& path) {
  for (unsigned version = kFirstDebuggerVersion; version <= kLastDebuggerVersion; ++version) {
    wchar_t key[kRegistryKeyCapacity] = {};
    fmt::format_to_n(key, kRegistryKeyCapacity - 1,
                     L"Software\\Microsoft\\VisualStudio\\{}.0\\Debugger", version);
    // One extra character keeps a value that fills the whole buffer terminated.
    wchar_t cache_dir[kCacheDirCapacity + 1] = {};
    std::uint32_t size = kCacheDirCapacity * sizeof(wchar_t);
    std::uint32_t type = 0;
    if (!help.read_user_registry_value(key, L"SymbolCacheDir", &type, cache_dir, &size)) continue;
    const std::wstring dir(cache_dir);
    if (type != quillmark::platform::kRegistryStringType || dir.empty()) continue;
    if (path.find(dir) != std::wstring::npos) continue;
    append_entry(path, dir + L"\\MicrosoftPublicSymbols");
    append_entry(path, dir);
  }
}

void remove_quotes(std::wstring& path) {
  std::wstring::size_type kept = 0;
  for (wchar_t c : path) {
    if (c != L'"') path[kept++] = c;
  }
  path.resize(kept);
}

}  // namespace

std::unique_ptr<wchar_t[]> build_symbol_search_path() {
  DebugHelp& help = debug_help();
  const std::wstring folder = executable_folder(help);

  std::wstring path;
  append_entry(path, folder);
  append_entry(path, path_text::lexically_normal(
                         path_text::normalize(folder + path_text::normalize(L"../pdb"))));
  append_entry(path, path_text::normalize(folder + L"SymbolTable"));
  append_environment_entries(help, path);
  append_debugger_symbol_caches(help, path);
  remove_quotes(path);

  std::unique_ptr<wchar_t[]> result(new wchar_t[path.size() + 1]);
  path.copy(result.get(), path.size());
  result[path.size()] = L'\0';
  return result;
}

// A new name's group is made while a host thread registers: where the handler is started for good
// it shares it at once, rather than wait behind a resolution that may be reading a large debug
// file.
void init_symbol_handler(CStackInfo& info) {
  if (debug_help().started_for_good()) {
    share_symbol_handler(info);
    return;
  }
  std::lock_guard<std::mutex> resolution(resolution_mutex());
  std::lock_guard<std::mutex> lock(info.init_mutex);
  if (info.symbols_ready) return;

  DebugHelp& help = debug_help();
  info.process = help.current_process();
  const std::unique_ptr<wchar_t[]> search_path = build_symbol_search_path();
  {
    CriticalSectionGuard guard(&info.symbol_lock);
    help.set_symbol_options(kSymbolOptions);
  }
  bool started = false;
  std::uint32_t error = 0;
  {
    CriticalSectionGuard guard(&info.symbol_lock);
    started = help.initialize_symbols(info.process, search_path.get(), false);
    if (!started) error = help.last_error();
  }
  if (!started) report_message(kInitFailedWarning, static_cast<unsigned long>(error));
  // A refused start is not retried: frames then resolve to addresses.
  info.symbols_ready = true;
}

void share_symbol_handler(CStackInfo& info) {
  std::lock_guard<std::mutex> lock(info.init_mutex);
  if (info.symbols_ready) return;
  info.process = debug_help().current_process();
  info.symbols_ready = true;
}

void report_message(const wchar_t* format, ...) {
  wchar_t message[kMessageCapacity];
  std::va_list args;
  va_start(args, format);
  const int length = std::vswprintf(message, kMessageCapacity, format, args);
  va_end(args);
  message[kMessageCapacity - 1] = L'\0';
  if (length < 0 || static_cast<std::size_t>(length) >= kMessageCapacity) return;

  char multibyte[kMultibyteCapacity];
  const std::size_t converted = std::wcstombs(multibyte, message, kMultibyteCapacity);
  if (converted == static_cast<std::size_t>(-1)) return;
  multibyte[kMultibyteCapacity - 1] = '\0';

  std::fputs(multibyte, stdout);
  debug_help().debug_output(message);
}

}  // namespace resmonitor
