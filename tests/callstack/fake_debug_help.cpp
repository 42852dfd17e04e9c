#include "fake_debug_help.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace quillmark::testing {

namespace {

std::uint32_t copy_terminated(const std::wstring& text, wchar_t* buffer, std::uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return 0;
  const std::size_t length = std::min<std::size_t>(text.size(), capacity - 1);
  std::wmemcpy(buffer, text.data(), length);
  buffer[length] = L'\0';
  return static_cast<std::uint32_t>(length);
}

}  // namespace

std::uint32_t FakeDebugHelp::copy_text(const std::wstring& text, wchar_t* buffer,
                                       std::uint32_t capacity) const {
  if (!fill_without_terminator || buffer == nullptr) return copy_terminated(text, buffer, capacity);
  for (std::uint32_t i = 0; i < capacity; ++i)
    buffer[i] = text.empty() ? L'x' : text[i % text.size()];
  return capacity;
}

std::uint16_t FakeDebugHelp::capture_back_trace(std::uint32_t frames_to_skip,
                                                std::uint32_t frames_to_capture, std::uint64_t* out,
                                                std::uint32_t* hash) {
  capture_requests.push_back(frames_to_capture);
  std::uint32_t count = 0;
  for (std::size_t i = frames_to_skip; i < back_trace.size() && count < frames_to_capture; ++i) {
    out[count++] = back_trace[i];
  }
  if (hash != nullptr) *hash = 0;
  return static_cast<std::uint16_t>(count);
}

std::uint32_t FakeDebugHelp::module_file_name(platform::ModuleHandle module, wchar_t* buffer,
                                              std::uint32_t capacity) {
  if (module == kExecutable) {
    return executable_path ? copy_text(*executable_path, buffer, capacity) : 0;
  }
  const auto found = module_files.find(reinterpret_cast<std::uintptr_t>(module));
  return found == module_files.end() ? 0 : copy_text(found->second.second, buffer, capacity);
}

platform::ModuleHandle FakeDebugHelp::allocation_base(std::uint64_t address) {
  auto found = module_files.upper_bound(address);
  if (found == module_files.begin()) return nullptr;
  --found;
  if (address - found->first >= found->second.first) return nullptr;
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(found->first));
}

std::uint32_t FakeDebugHelp::environment_variable(const wchar_t* name, wchar_t* buffer,
                                                  std::uint32_t size) {
  const auto found = environment.find(name);
  if (found == environment.end()) return 0;
  found->second.append(environment_growth, L'+');
  const auto needed = static_cast<std::uint32_t>(found->second.size() + 1);
  if (buffer == nullptr || size < needed) return needed;
  return copy_text(found->second, buffer, size);
}

bool FakeDebugHelp::read_user_registry_value(const wchar_t* key, const wchar_t* value,
                                             std::uint32_t* type, void* data, std::uint32_t* size) {
  const auto found = registry.find(key);
  if (found == registry.end() || std::wcscmp(value, L"SymbolCacheDir") != 0) return false;
  const std::wstring& text = found->second.text;
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  if (bytes > *size && !fill_without_terminator) return false;
  *size = copy_text(text, static_cast<wchar_t*>(data), *size / sizeof(wchar_t)) *
          static_cast<std::uint32_t>(sizeof(wchar_t));
  if (!fill_without_terminator) *size += sizeof(wchar_t);
  *type = found->second.type;
  return true;
}

bool FakeDebugHelp::initialize_symbols(platform::ProcessHandle, const wchar_t* search_path, bool) {
  if (on_initialize) on_initialize();
  initialized_paths.emplace_back(search_path != nullptr ? search_path : L"");
  return initialize_succeeds;
}

bool FakeDebugHelp::enumerate_loaded_modules(platform::ProcessHandle,
                                             platform::ModuleVisitor visitor, void* context) {
  ++enumerations;
  for (const Module& module : modules) {
    if (!visitor(module.reported_name.c_str(), module.base, module.size, context)) break;
  }
  return true;
}

bool FakeDebugHelp::module_info(platform::ProcessHandle, std::uint64_t base,
                                platform::ModuleRecord& record) {
  const auto found = loaded_bases_.find(base);
  if (found == loaded_bases_.end()) return false;
  record.base_of_image = found->second;
  return true;
}

std::uint64_t FakeDebugHelp::load_module(platform::ProcessHandle, const wchar_t* path,
                                         std::uint64_t base, std::uint32_t) {
  loaded_paths.emplace_back(path);
  if (!load_succeeds) return 0;
  loaded_bases_[base] = base;
  return base;
}

void FakeDebugHelp::resolve_address(platform::ProcessHandle, std::uint64_t address,
                                    platform::AddressSymbols& found) {
  if (on_symbol_lookup) on_symbol_lookup();
  ++symbol_lookups;
  found = platform::AddressSymbols();
  const auto symbol = symbols.find(address);
  if (symbol != symbols.end()) {
    found.function.has_name = true;
    found.function.name = symbol->second.name;
    found.function_displacement = symbol->second.displacement;
  }
  const auto show = [&](const Line& line, platform::ShownFunction& shown) {
    shown.has_line = true;
    shown.file = line.file;
    shown.line = line.number;
  };
  const auto site = inline_sites.find(address);
  if (site == inline_sites.end()) {
    const auto line = lines.find(address);
    if (line == lines.end()) return;
    show(line->second, found.function);
    found.line_displacement = line->second.displacement;
    return;
  }
  const std::vector<std::string>& functions = site->second.functions;
  found.inlined.resize(functions.size());
  for (std::size_t depth = 0; depth < functions.size(); ++depth) {
    found.inlined[depth].has_name = !functions[depth].empty();
    found.inlined[depth].name = functions[depth];
  }
  for (std::size_t depth = 0; depth < site->second.lines.size() && depth <= functions.size();
       ++depth) {
    show(site->second.lines[depth],
         depth < functions.size() ? found.inlined[depth] : found.function);
    if (depth == 0) found.line_displacement = site->second.lines[0].displacement;
  }
}

}  // namespace quillmark::testing
