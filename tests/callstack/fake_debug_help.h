// A scripted stand-in for the operating system's debug-help seam: tests and fuzz targets choose
// the captured addresses, the executable path, environment and registry values, the handler's
// answers and the symbols, lines and modules of chosen addresses, and read back what the
// subsystem asked for. It can also answer as no real system does, to check the subsystem
// survives that.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/debug_help.h"

namespace quillmark::testing {

class FakeDebugHelp final : public platform::DebugHelp {
 public:
  struct Symbol {
    std::string name;
    std::uint64_t displacement = 0;
  };
  struct Line {
    std::string file;
    std::uint32_t number = 0;
    std::uint32_t displacement = 0;
  };
  struct Module {
    std::wstring reported_name;  // as the enumeration reports it
    std::uint64_t base = 0;
    std::uint32_t size = 0;
  };
  // The inlined calls at one address: `functions` innermost first (an empty name is one the
  // handler does not know); `lines` per depth, from the line of the address (depth 0) to the
  // call site in the function that holds them all.
  struct InlineSite {
    std::vector<std::string> functions;
    std::vector<Line> lines;
  };
  struct RegistryValue {
    std::uint32_t type = platform::kRegistryStringType;
    std::wstring text;
  };

  static inline void* const kProcess = reinterpret_cast<void*>(0x5150);
  static inline void* const kExecutable = reinterpret_cast<void*>(0xE0E0000);

  // What capture_back_trace() returns (cut to the requested count), with a zero hash.
  std::vector<std::uint64_t> back_trace;
  std::optional<std::wstring> executable_path;
  std::map<std::wstring, std::wstring> environment;
  std::map<std::wstring, RegistryValue> registry;  // by key, value "SymbolCacheDir"
  bool initialize_succeeds = true;
  std::uint32_t error_code = 0;
  std::vector<Module> modules;
  bool load_succeeds = true;
  std::map<std::uint64_t, Symbol> symbols;
  std::map<std::uint64_t, Line> lines;
  std::map<std::uint64_t, InlineSite> inline_sites;
  // Allocation bases: an address belongs to the greatest base at or below it within `size`.
  std::map<std::uint64_t, std::pair<std::uint32_t, std::wstring>>
      module_files;  // base -> size, path

  // Odd answers: text written to fill the whole buffer with no terminator, and environment
  // values that grow by this many characters at every read (so the size asked for first is too
  // small for the second read).
  bool fill_without_terminator = false;
  std::uint32_t environment_growth = 0;

  // Called at the start of every symbol look-up, on the looking-up thread (tests hold a
  // resolution there).
  std::function<void()> on_symbol_lookup;
  // Called at the start of initialize_symbols(), on the starting thread.
  std::function<void()> on_initialize;

  // What the subsystem asked for.
  std::vector<std::uint32_t> capture_requests;
  std::vector<std::uint32_t> options_set;
  std::vector<std::wstring> initialized_paths;
  std::vector<std::wstring> debug_texts;
  std::vector<std::wstring> loaded_paths;
  int enumerations = 0;
  int symbol_lookups = 0;

  std::uint16_t capture_back_trace(std::uint32_t frames_to_skip, std::uint32_t frames_to_capture,
                                   std::uint64_t* out, std::uint32_t* hash) override;
  platform::ProcessHandle current_process() override { return kProcess; }
  platform::ModuleHandle executable_module() override { return kExecutable; }
  std::uint32_t module_file_name(platform::ModuleHandle module, wchar_t* buffer,
                                 std::uint32_t capacity) override;
  platform::ModuleHandle allocation_base(std::uint64_t address) override;
  std::uint32_t environment_variable(const wchar_t* name, wchar_t* buffer,
                                     std::uint32_t size) override;
  bool read_user_registry_value(const wchar_t* key, const wchar_t* value, std::uint32_t* type,
                                void* data, std::uint32_t* size) override;
  void debug_output(const wchar_t* text) override { debug_texts.emplace_back(text); }
  std::uint32_t last_error() override { return error_code; }
  void set_symbol_options(std::uint32_t options) override { options_set.push_back(options); }
  bool initialize_symbols(platform::ProcessHandle process, const wchar_t* search_path,
                          bool invade_process) override;
  bool enumerate_loaded_modules(platform::ProcessHandle process, platform::ModuleVisitor visitor,
                                void* context) override;
  bool module_info(platform::ProcessHandle process, std::uint64_t base,
                   platform::ModuleRecord& record) override;
  std::uint64_t load_module(platform::ProcessHandle process, const wchar_t* path,
                            std::uint64_t base, std::uint32_t size) override;
  void resolve_address(platform::ProcessHandle process, std::uint64_t address,
                       platform::AddressSymbols& symbols) override;

 private:
  std::uint32_t copy_text(const std::wstring& text, wchar_t* buffer, std::uint32_t capacity) const;

  std::map<std::uint64_t, std::uint64_t> loaded_bases_;
};

// Installs a fake for the lifetime of the object and restores the previous implementation.
class ScopedFakeDebugHelp {
 public:
  ScopedFakeDebugHelp() : previous_(platform::set_debug_help_for_testing(&fake_)) {}
  ~ScopedFakeDebugHelp() { platform::set_debug_help_for_testing(previous_); }
  ScopedFakeDebugHelp(const ScopedFakeDebugHelp&) = delete;
  ScopedFakeDebugHelp& operator=(const ScopedFakeDebugHelp&) = delete;

  FakeDebugHelp* operator->() { return &fake_; }
  FakeDebugHelp& operator*() { return fake_; }

 private:
  FakeDebugHelp fake_;
  platform::DebugHelp* previous_;
};

}  // namespace quillmark::testing
