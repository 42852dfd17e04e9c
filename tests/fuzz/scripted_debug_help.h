// A debug-help seam whose every answer comes from the fuzzer's input: executable path,
// environment and registry values (including answers a real system never gives, such as a value
// that grew between two reads or a buffer filled without a terminator), module names, symbols
// and source lines. Only what the text-building code asks for is scripted; the rest answers
// "nothing there".
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "platform/debug_help.h"

namespace quillmark::fuzzing {

// Wide text of up to `max_length` characters from the input, any code unit value (NUL too).
std::wstring consume_wide(FuzzedDataProvider& input, std::size_t max_length);

class ScriptedDebugHelp final : public platform::DebugHelp {
 public:
  explicit ScriptedDebugHelp(FuzzedDataProvider& input) : input_(input) {}

  std::uint16_t capture_back_trace(std::uint32_t, std::uint32_t, std::uint64_t*,
                                   std::uint32_t* hash) override;
  platform::ProcessHandle current_process() override;
  platform::ModuleHandle executable_module() override;
  std::uint32_t module_file_name(platform::ModuleHandle module, wchar_t* buffer,
                                 std::uint32_t capacity) override;
  platform::ModuleHandle allocation_base(std::uint64_t address) override;
  std::uint32_t environment_variable(const wchar_t* name, wchar_t* buffer,
                                     std::uint32_t size) override;
  bool read_user_registry_value(const wchar_t* key, const wchar_t* value, std::uint32_t* type,
                                void* data, std::uint32_t* size) override;
  void debug_output(const wchar_t*) override {}
  std::uint32_t last_error() override { return 0; }
  void set_symbol_options(std::uint32_t) override {}
  bool initialize_symbols(platform::ProcessHandle, const wchar_t*, bool) override;
  bool enumerate_loaded_modules(platform::ProcessHandle, platform::ModuleVisitor visitor,
                                void* context) override;
  bool module_info(platform::ProcessHandle, std::uint64_t, platform::ModuleRecord&) override;
  std::uint64_t load_module(platform::ProcessHandle, const wchar_t*, std::uint64_t base,
                            std::uint32_t) override;
  bool symbol_from_address(platform::ProcessHandle, std::uint64_t address,
                           std::uint64_t* displacement, platform::SymbolRecord& symbol) override;
  bool line_from_address(platform::ProcessHandle, std::uint64_t address,
                         std::uint32_t* displacement, platform::LineRecord& line) override;
  // The scripted modules hold no inlined calls.
  std::uint32_t inline_call_count(platform::ProcessHandle, std::uint64_t) override { return 0; }
  bool inline_symbol(platform::ProcessHandle, std::uint64_t, std::uint32_t,
                     platform::SymbolRecord&) override {
    return false;
  }
  bool inline_line(platform::ProcessHandle, std::uint64_t, std::uint32_t, std::uint32_t*,
                   platform::LineRecord&) override {
    return false;
  }

 private:
  // Writes `text` into `buffer` of `capacity` characters the way the input decides: cut and
  // terminated (the contract), or filling the buffer with no terminator (a broken system).
  std::uint32_t write_text(const std::wstring& text, wchar_t* buffer, std::uint32_t capacity);

  FuzzedDataProvider& input_;
  std::wstring line_file_;  // storage behind the last LineRecord::file_name
};

// Installs a seam for one fuzz input and restores the system's when it goes.
class ScopedDebugHelp {
 public:
  explicit ScopedDebugHelp(platform::DebugHelp& help)
      : previous_(platform::set_debug_help_for_testing(&help)) {}
  ~ScopedDebugHelp() { platform::set_debug_help_for_testing(previous_); }
  ScopedDebugHelp(const ScopedDebugHelp&) = delete;
  ScopedDebugHelp& operator=(const ScopedDebugHelp&) = delete;

 private:
  platform::DebugHelp* previous_;
};

}  // namespace quillmark::fuzzing
