#include "tests/fuzz/scripted_debug_help.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace quillmark::fuzzing {

namespace {

constexpr std::size_t kMaxText = 600;  // beyond every fixed buffer of the subsystem
platform::ModuleHandle const kExecutable = reinterpret_cast<platform::ModuleHandle>(0x400000);

}  // namespace

std::wstring consume_wide(FuzzedDataProvider& input, std::size_t max_length) {
  const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, max_length);
  std::wstring text;
  text.reserve(length);
  for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
    // Mostly printable ASCII and path characters, sometimes any value a wchar_t can hold.
    if (input.ConsumeBool()) {
      static const wchar_t kCommon[] = L"/\\.:;\"*?aZ09 _-\xE9\x4E2D\xD800\xDC00";
      text.push_back(kCommon[input.ConsumeIntegralInRange<std::size_t>(0, std::wcslen(kCommon))]);
    } else {
      text.push_back(static_cast<wchar_t>(input.ConsumeIntegral<std::uint32_t>()));
    }
  }
  return text;
}

std::uint32_t ScriptedDebugHelp::write_text(const std::wstring& text, wchar_t* buffer,
                                            std::uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return 0;
  if (input_.ConsumeBool()) {
    // Fills the whole buffer with no terminator.
    for (std::uint32_t i = 0; i < capacity; ++i) {
      buffer[i] = text.empty() ? L'x' : text[i % text.size()];
    }
    return capacity;
  }
  const std::size_t length = std::min<std::size_t>(text.size(), capacity - 1);
  std::wmemcpy(buffer, text.data(), length);
  buffer[length] = L'\0';
  return static_cast<std::uint32_t>(length);
}

std::uint16_t ScriptedDebugHelp::capture_back_trace(std::uint32_t, std::uint32_t, std::uint64_t*,
                                                    std::uint32_t* hash) {
  *hash = 0;
  return 0;
}

platform::ProcessHandle ScriptedDebugHelp::current_process() {
  return reinterpret_cast<platform::ProcessHandle>(1);
}

platform::ModuleHandle ScriptedDebugHelp::executable_module() {
  return input_.ConsumeBool() ? kExecutable : nullptr;
}

std::uint32_t ScriptedDebugHelp::module_file_name(platform::ModuleHandle module, wchar_t* buffer,
                                                  std::uint32_t capacity) {
  if (module == nullptr || input_.ConsumeBool()) return 0;
  return write_text(consume_wide(input_, kMaxText), buffer, capacity);
}

platform::ModuleHandle ScriptedDebugHelp::allocation_base(std::uint64_t address) {
  if (input_.ConsumeBool()) return nullptr;
  return reinterpret_cast<platform::ModuleHandle>(address | 1);
}

std::uint32_t ScriptedDebugHelp::environment_variable(const wchar_t*, wchar_t* buffer,
                                                      std::uint32_t size) {
  switch (input_.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return 0;  // unset
    case 1:      // any size, true or not
      return input_.ConsumeIntegralInRange<std::uint32_t>(0, 2 * kMaxText);
    default: {
      const std::wstring value = consume_wide(input_, kMaxText);
      if (buffer == nullptr || size == 0) return static_cast<std::uint32_t>(value.size() + 1);
      if (size < value.size() + 1) return static_cast<std::uint32_t>(value.size() + 1);
      return write_text(value, buffer, size);
    }
  }
}

bool ScriptedDebugHelp::read_user_registry_value(const wchar_t*, const wchar_t*,
                                                 std::uint32_t* type, void* data,
                                                 std::uint32_t* size) {
  if (input_.ConsumeBool()) return false;
  *type = input_.ConsumeBool() ? platform::kRegistryStringType
                               : input_.ConsumeIntegral<std::uint32_t>();
  const std::uint32_t capacity = *size / sizeof(wchar_t);
  *size = write_text(consume_wide(input_, kMaxText), static_cast<wchar_t*>(data), capacity) *
          static_cast<std::uint32_t>(sizeof(wchar_t));
  return true;
}

bool ScriptedDebugHelp::initialize_symbols(platform::ProcessHandle, const wchar_t*, bool) {
  return input_.ConsumeBool();
}

bool ScriptedDebugHelp::enumerate_loaded_modules(platform::ProcessHandle,
                                                 platform::ModuleVisitor visitor, void* context) {
  const int count = input_.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < count; ++i) {
    const std::wstring name = consume_wide(input_, kMaxText);
    if (!visitor(name.c_str(), input_.ConsumeIntegral<std::uint64_t>(),
                 input_.ConsumeIntegral<std::uint32_t>(), context)) {
      break;
    }
  }
  return true;
}

bool ScriptedDebugHelp::module_info(platform::ProcessHandle, std::uint64_t,
                                    platform::ModuleRecord&) {
  return false;
}

std::uint64_t ScriptedDebugHelp::load_module(platform::ProcessHandle, const wchar_t*,
                                             std::uint64_t base, std::uint32_t) {
  return input_.ConsumeBool() ? base : 0;
}

bool ScriptedDebugHelp::symbol_from_address(platform::ProcessHandle, std::uint64_t,
                                            std::uint64_t* displacement,
                                            platform::SymbolRecord& symbol) {
  if (input_.ConsumeBool()) return false;
  const std::wstring name = consume_wide(input_, kMaxText);
  const std::size_t room = std::min<std::size_t>(symbol.max_name_len, name.size());
  std::wmemcpy(symbol.name, name.data(), room);
  symbol.name[room] = L'\0';
  *displacement = input_.ConsumeIntegral<std::uint64_t>();
  return true;
}

bool ScriptedDebugHelp::line_from_address(platform::ProcessHandle, std::uint64_t address,
                                          std::uint32_t* displacement, platform::LineRecord& line) {
  if (input_.ConsumeBool()) return false;
  line_file_ = consume_wide(input_, kMaxText);
  line.file_name = line_file_.c_str();
  line.line_number = input_.ConsumeIntegral<std::uint32_t>();
  line.address = address;
  *displacement = input_.ConsumeIntegral<std::uint32_t>();
  return true;
}

}  // namespace quillmark::fuzzing
