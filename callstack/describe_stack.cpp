#include "callstack/describe_stack.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "callstack/describe_stack_testing.h"
#include "callstack/frame_modules.h"
#include "callstack/module_files.h"
#include "callstack/path_text.h"
#include "callstack/resolution_lock.h"

namespace resmonitor {

namespace {

using quillmark::platform::CriticalSectionGuard;
using quillmark::platform::debug_help;
using quillmark::platform::ModuleRecord;

// Set once the symbols of the process's modules were loaded; modules loaded later are not added.
// Guarded by resolution_mutex.
bool modules_loaded = false;

constexpr std::size_t kHeaderCapacity = 128;
// "Frame " + name + "[" + 16 hex digits + "]\n" + terminator must fit the header buffer.
constexpr std::size_t kMaxHeaderName = kHeaderCapacity - 6 - 1 - 16 - 2 - 1;

struct ModuleEntry {
  std::uint64_t base;
  std::uint64_t last;
  std::wstring path;
};

bool collect_module(const wchar_t* name, std::uint64_t base, std::uint32_t size, void* context) {
  auto* modules = static_cast<std::vector<ModuleEntry>*>(context);
  modules->push_back({base, base + size - 1, path_text::normalize(name != nullptr ? name : L"")});
  return true;
}

void load_module_symbols(CStackInfo& info) {
  auto& help = debug_help();
  std::vector<ModuleEntry> modules;
  help.enumerate_loaded_modules(info.process, collect_module, &modules);

  std::vector<std::uint64_t> bases;
  bases.reserve(modules.size());
  for (const ModuleEntry& module : modules) bases.push_back(module.base);
  note_handler_modules(bases.data(), static_cast<std::uint32_t>(bases.size()));

  CriticalSectionGuard guard(&info.symbol_lock);
  for (const ModuleEntry& module : modules) {
    ModuleRecord record;
    if (help.module_info(info.process, module.base, record) &&
        record.base_of_image == module.base) {
      continue;
    }
    const std::uint32_t size =
        static_cast<std::uint32_t>(module.last) - static_cast<std::uint32_t>(module.base) + 1;
    if (help.load_module(info.process, module.path.c_str(), module.base, size) == module.base) {
      help.module_info(info.process, module.base, record);
    }
  }
}

// Length of `name` cut to `limit` bytes without splitting a UTF-8 sequence.
std::size_t header_name_length(const std::string& name, std::size_t limit) {
  std::size_t length = std::min(name.size(), limit);
  const auto is_continuation = [&](std::size_t i) {
    return (static_cast<unsigned char>(name[i]) & 0xC0) == 0x80;
  };
  if (length < name.size()) {
    while (length > 0 && is_continuation(length)) --length;
  }
  return length;
}

// Writes the header line into `header` and returns its length.
// Formatted by hand: list queries make one header per entry, and printf-style formatting was a
// noticeable part of their cost.
std::size_t format_header(const std::string& name, void* ptr, char (&header)[kHeaderCapacity]) {
  static constexpr char kPrefix[] = "Frame ";
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  const char* name_end = name.data() + header_name_length(name, kMaxHeaderName);
  // A name stops at an embedded terminator, as a C string would.
  name_end = std::find(name.data(), name_end, '\0');
  char* out = std::copy(kPrefix, kPrefix + sizeof kPrefix - 1, header);
  out = std::copy(name.data(), name_end, out);
  *out++ = '[';
  const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(ptr));
  for (int shift = 60; shift >= 0; shift -= 4) *out++ = kHexDigits[(value >> shift) & 0xF];
  *out++ = ']';
  *out++ = '\n';
  *out = '\0';
  return static_cast<std::size_t>(out - header);
}

std::string header_line(const std::string& name, void* ptr) {
  char header[kHeaderCapacity];
  return std::string(header, format_header(name, ptr, header));
}

void ensure_modules_loaded(CStackInfo& info) {
  if (modules_loaded) return;
  load_module_symbols(info);
  modules_loaded = true;
}

// Module files that resolutions opened stay open while scopes exist (ModuleFilesScope, and one
// for each resolution); the last to end closes them. Guarded by resolution_mutex.
int module_file_scopes = 0;

// Closes the module files a resolution opened when it ends, however it ends, unless a wider
// scope keeps them. The caller holds resolution_mutex.
struct ModuleFilesGuard {
  ModuleFilesGuard() { ++module_file_scopes; }
  ~ModuleFilesGuard() {
    if (--module_file_scopes == 0) close_module_files();
  }
  ModuleFilesGuard(const ModuleFilesGuard&) = delete;
  ModuleFilesGuard& operator=(const ModuleFilesGuard&) = delete;
};

// The code addresses of frames [first, size) of `stack`, by which their modules are found: a
// return address follows its call, which lies in the same module.
std::vector<std::uint64_t> code_addresses(const CallStack& stack, std::uint32_t first) {
  std::vector<std::uint64_t> addresses;
  for (std::uint32_t i = first; i < stack.size(); ++i) {
    if (stack.frame(i) != 0) addresses.push_back(stack.frame(i) - 1);
  }
  return addresses;
}

// What a resolution reads before it looks its frames up: the loaded modules that hold
// `addresses`, and the files of the unloaded modules `files`.
struct ReadAhead {
  bool wanted = false;
  std::vector<std::uint64_t> addresses;
  std::vector<const FrameModule*> files;
};

// What frames [first, size) of `stack` need read; `modules` as frame_text's. The caller holds
// resolution_mutex.
ReadAhead read_ahead_for(const CallStack& stack, const FrameModule* const* modules,
                         std::uint32_t first) {
  ReadAhead ahead;
  ahead.wanted = true;
  ahead.addresses = code_addresses(stack, first);
  if (modules != nullptr) {
    ahead.files = modules_read_from_files(modules + first, stack.size() - first);
  }
  return ahead;
}

// Reads what `ahead` names with resolution_mutex released meanwhile (`resolving` holds it before
// and after): a module whose files take long to read then holds up only the resolutions that
// need it, and no registration. Whatever the lock guards may have changed when it is taken again;
// the files opened are handed to the resolution that follows (adopt_module_files).
void read_ahead(const CStackInfo& info, std::unique_lock<std::mutex>& resolving,
                const ReadAhead& ahead) {
  const quillmark::platform::ProcessHandle process = info.process;
  std::vector<ModuleFileAhead> files;
  resolving.unlock();
  try {
    debug_help().load_modules_at(process, ahead.addresses.data(),
                                 static_cast<std::uint32_t>(ahead.addresses.size()));
    files = open_module_files_ahead(ahead.files);
  } catch (...) {
    resolving.lock();
    throw;
  }
  resolving.lock();
  adopt_module_files(files, process);
}

// The frame lines of `stack` as a query shows them; `modules` holds the module recorded for each
// frame, or is null when none were. The caller holds resolution_mutex.
//
// With `ahead` given, a stack with a frame whose lines are not at hand yet is not resolved: what
// that frame and the frames after it need read is stored in *ahead instead, for read_ahead(), and
// the text is empty. A stack whose lines are all at hand costs nothing more.
//
// Built from the lines of each frame, kept normalised (CallStack::lines_of_frame): every line
// ends in a line feed and starts with blanks, so no run of separators crosses a line, and line by
// line gives what the whole text would.
std::string frame_text(CallStack& stack, const FrameModule* const* modules, bool* final = nullptr,
                       ReadAhead* ahead = nullptr) {
  quillmark::platform::CriticalSectionGuard symbols(stack.symbol_lock());
  ModuleFilesGuard module_files;
  bound_resolved_frames();
  std::vector<const std::string*> frames;
  std::size_t length = 0;
  bool all_final = true;
  bool after_signal_trampoline = false;
  for (std::uint32_t i = CallStack::kHiddenFrames; i < stack.size(); ++i) {
    const std::uint64_t return_address = stack.frame(i);
    const std::uint64_t pc = CallStack::frame_key(return_address, after_signal_trampoline);
    const FrameModule* module = modules != nullptr ? modules[i] : nullptr;
    if (ahead != nullptr && !CallStack::frame_lines_final(pc, module)) {
      *ahead = read_ahead_for(stack, modules, i);
      return std::string();
    }
    frames.push_back(&stack.lines_of_frame(pc, module));
    all_final = all_final && CallStack::frame_lines_final(pc, module);
    length += frames.back()->size();
    after_signal_trampoline = CallStack::is_signal_trampoline_frame(return_address);
  }
  std::string text;
  text.reserve(length);
  for (const std::string* lines : frames) text += *lines;
  if (final != nullptr) *final = all_final;
  return text;
}

// describe_stack() under resolution_mutex, which the caller holds; `ahead` as frame_text's.
std::string describe_recorded_stack(CStackInfo& info, void* ptr, ReadAhead* ahead) {
  std::lock_guard<quillmark::platform::ShortLock> lock(info.stacks_mutex);
  if (!info.stacks.empty()) ensure_modules_loaded(info);

  const auto entry = info.stacks.find(ptr);
  if (entry == info.stacks.end()) return header_line(std::string(), ptr);
  std::string result = header_line(entry->second.object_name, ptr);
  if (entry->second.stack == nullptr) return result;
  result += frame_text(*entry->second.stack, nullptr, nullptr, ahead);
  return result;
}

}  // namespace

std::string describe_stack(CStackInfo& info, void* ptr) {
  std::unique_lock<std::mutex> resolving(resolution_mutex());
  ReadAhead ahead;
  std::string text = describe_recorded_stack(info, ptr, &ahead);
  if (!ahead.wanted) return text;
  read_ahead(info, resolving, ahead);
  return describe_recorded_stack(info, ptr, nullptr);
}

namespace {

// The frame lines of `stack`, resolved at its first use. `resolving` holds resolution_mutex.
const std::string& pooled_frames(CStackInfo& info, PooledStack& stack,
                                 std::unique_lock<std::mutex>& resolving) {
  if (!stack.text_ready) {
    ensure_modules_loaded(info);
    // A text with a frame whose function was not found is made again by the next query.
    bool final = false;
    ReadAhead ahead;
    stack.text = frame_text(*stack.stack, stack.modules.get(), &final, &ahead);
    if (ahead.wanted) {
      read_ahead(info, resolving, ahead);
      stack.text = frame_text(*stack.stack, stack.modules.get(), &final);
    }
    stack.text_ready = final;
  }
  return stack.text;
}

}  // namespace

std::string describe_pooled_stack(CStackInfo& info, const std::string& name, void* ptr,
                                  PooledStack& stack) {
  char header[kHeaderCapacity];
  const std::size_t header_length = format_header(name, ptr, header);
  std::unique_lock<std::mutex> resolving(resolution_mutex());
  const std::string& frames = pooled_frames(info, stack, resolving);
  // One allocation: list queries make one of these texts per entry.
  std::string result;
  result.reserve(header_length + frames.size());
  result.append(header, header_length);
  result += frames;
  return result;
}

std::string stack_header(const std::string& name, void* ptr) { return header_line(name, ptr); }

std::string describe_pooled_frames(CStackInfo& info, PooledStack& stack) {
  std::unique_lock<std::mutex> resolving(resolution_mutex());
  return pooled_frames(info, stack, resolving);
}

std::vector<FrameRecord> describe_pooled_frame_records(CStackInfo& info, PooledStack& stack) {
  std::unique_lock<std::mutex> resolving(resolution_mutex());
  ensure_modules_loaded(info);
  CallStack& frames = *stack.stack;
  ModuleFilesGuard module_files;
  if (frames.size() > CallStack::kHiddenFrames) {
    read_ahead(info, resolving,
               read_ahead_for(frames, stack.modules.get(), CallStack::kHiddenFrames));
  }
  std::vector<FrameRecord> records;
  bool after_signal_trampoline = false;
  for (std::uint32_t i = CallStack::kHiddenFrames; i < frames.size(); ++i) {
    const FrameModule* module = stack.modules != nullptr ? stack.modules[i] : nullptr;
    const std::uint64_t key = CallStack::frame_key(frames.frame(i), after_signal_trampoline);
    std::vector<FrameFields> frame_fields = frames.fields_of_frame(key, module);
    after_signal_trampoline = CallStack::is_signal_trampoline_frame(frames.frame(i));
    std::move(frame_fields.begin(), frame_fields.end(), std::back_inserter(records));
  }
  return records;
}

ModuleFilesScope::ModuleFilesScope() {
  std::lock_guard<std::mutex> resolving(resolution_mutex());
  ++module_file_scopes;
}

ModuleFilesScope::~ModuleFilesScope() {
  std::lock_guard<std::mutex> resolving(resolution_mutex());
  if (--module_file_scopes == 0) close_module_files();
}

namespace stack_testing {

void forget_loaded_modules() {
  std::lock_guard<std::mutex> resolving(resolution_mutex());
  modules_loaded = false;
  forget_handler_modules();
  forget_resolved_frames();
}

bool loaded_modules() {
  std::lock_guard<std::mutex> resolving(resolution_mutex());
  return modules_loaded;
}

}  // namespace stack_testing

}  // namespace resmonitor
