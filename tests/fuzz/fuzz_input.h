// Fuzz input turned into wide text and into the answers of the scripted debug-help seam.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/callstack/fake_debug_help.h"

namespace quillmark::fuzzing {

// Wide text of up to `max_length` characters, any code unit value (NUL too).
inline std::wstring consume_wide(FuzzedDataProvider& input, std::size_t max_length) {
  const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, max_length);
  std::wstring text;
  for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
    // Mostly path characters, sometimes any value a wchar_t can hold.
    if (input.ConsumeBool()) {
      static const wchar_t kCommon[] = L"/\\.:;\"*?aZ09 _-\xE9\x4E2D\xD800\xDC00";
      text.push_back(kCommon[input.ConsumeIntegralInRange<std::size_t>(0, std::wcslen(kCommon))]);
    } else {
      text.push_back(static_cast<wchar_t>(input.ConsumeIntegral<std::uint32_t>()));
    }
  }
  return text;
}

// Fills `help` from the input: the executable path, symbol path variables, debugger cache
// folders, loaded modules and, for each of `addresses`, a module, symbol and line. Answers a
// real system never gives are in reach: far beyond every fixed buffer of the subsystem, text
// without a terminator, values that grow between reads, registry values of any type.
inline void fill_debug_help(FuzzedDataProvider& input, testing::FakeDebugHelp& help,
                            const std::vector<std::uint64_t>& addresses = {}) {
  constexpr std::size_t kMaxText = 600;
  help.fill_without_terminator = input.ConsumeBool();
  help.environment_growth = input.ConsumeIntegralInRange<std::uint32_t>(0, 2);
  help.initialize_succeeds = input.ConsumeBool();
  help.load_succeeds = input.ConsumeBool();
  if (input.ConsumeBool()) help.executable_path = consume_wide(input, kMaxText);
  for (const wchar_t* name :
       {L"_NT_SYMBOL_PATH", L"_NT_ALT_SYMBOL_PATH", L"_NT_ALTERNATE_SYMBOL_PATH"}) {
    if (input.ConsumeBool()) help.environment[name] = consume_wide(input, kMaxText);
  }
  for (unsigned version = 9; version <= 14; ++version) {
    if (!input.ConsumeBool()) continue;
    auto& value = help.registry[L"Software\\Microsoft\\VisualStudio\\" + std::to_wstring(version) +
                                L".0\\Debugger"];
    if (input.ConsumeBool()) value.type = input.ConsumeIntegral<std::uint32_t>();
    value.text = consume_wide(input, kMaxText);
  }
  for (int i = input.ConsumeIntegralInRange<int>(0, 3); i > 0; --i) {
    help.modules.push_back({consume_wide(input, kMaxText), input.ConsumeIntegral<std::uint64_t>(),
                            input.ConsumeIntegral<std::uint32_t>()});
  }
  for (std::uint64_t address : addresses) {
    if (input.ConsumeBool()) {
      help.module_files[address & ~0xFFFull] = {input.ConsumeIntegral<std::uint32_t>(),
                                                consume_wide(input, kMaxText)};
    }
    if (input.ConsumeBool()) {
      help.symbols[address] = {input.ConsumeRandomLengthString(kMaxText),
                               input.ConsumeIntegral<std::uint64_t>()};
    }
    if (input.ConsumeBool()) {
      help.lines[address] = {input.ConsumeRandomLengthString(kMaxText),
                             input.ConsumeIntegral<std::uint32_t>(),
                             input.ConsumeIntegral<std::uint32_t>()};
    }
  }
}

}  // namespace quillmark::fuzzing
