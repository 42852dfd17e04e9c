// Turning a recorded stack into text: symbol and line look-ups per frame, inlined calls, and the
// four frame-line formats.
#include "callstack/call_stack.h"
#include "callstack/describe_stack_testing.h"

#include <algorithm>
#include <cwchar>
#include <limits>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <fmt/xchar.h>

#include "callstack/frame_modules.h"
#include "callstack/module_files.h"

namespace {

using quillmark::platform::CriticalSectionGuard;
using quillmark::platform::debug_help;
using quillmark::platform::LineRecord;
using quillmark::platform::ProcessHandle;
using quillmark::platform::SymbolRecord;
using resmonitor::FrameKey;
using resmonitor::FrameKeyHash;
using resmonitor::FrameModule;
using resmonitor::FrameSource;

// The process-wide frame-line buffer. The resolution lock of describe_stack.cpp, which every
// caller of the resolution holds, serialises its use.
wchar_t line_buffer[CallStack::kLineCapacity];

// The lines of every frame resolved so far, by return address and the module recorded for it
// (frame_modules.h). Module symbols are loaded once and never change, and a module that leaves
// its address takes its key with it, so the lines of a key never change either: each is
// resolved once per process, and a stack whose frames were all seen before costs copies only.
// Guarded like line_buffer.
std::unordered_map<FrameKey, std::wstring, FrameKeyHash> frame_lines;
// The keys in frame_lines whose function was not found, with the look-ups that missed so far:
// looked up again at their next use, so that a passing failure (a module whose symbols could not
// be loaded for want of memory) is not remembered. A frame that misses again lies where its
// module has no symbol: it is final then, and reports stop looking it up (each look-up reads the
// loader's module list, which the unwinder of every registering thread reads too). Guarded like
// line_buffer.
std::unordered_map<FrameKey, int, FrameKeyHash> provisional_frames;
constexpr int kMissesBeforeFinal = 2;
// The bound of frame_lines (kMostKeptFrames; tests set less). Guarded like line_buffer.
std::size_t most_kept = kMostKeptFrames;

// Frames are kept and looked up by key: the return address, or for a frame that follows no call
// (a signal trampoline, and the frame the signal interrupted) the address with its top byte set
// to this tag. No address of code has it: x86-64 addresses are canonical (top byte 0 or 0xFF).
constexpr std::uint64_t kAtAddressTag = std::uint64_t{0x80} << 56;
constexpr std::uint64_t kBelowTopByte = (std::uint64_t{1} << 56) - 1;

bool looked_up_at_address(std::uint64_t key) { return (key & ~kBelowTopByte) == kAtAddressTag; }

// The return addresses found to start a signal trampoline, usually none. Such a frame is looked
// up at its own address, and so is the frame after it. Guarded like line_buffer.
std::unordered_set<std::uint64_t> signal_trampolines;

// The address a frame's key stands for.
std::uint64_t pc_of(std::uint64_t key) {
  return looked_up_at_address(key) ? key & kBelowTopByte : key;
}

// Where a frame is looked up. A return address follows its call instruction; the address before
// it lies inside the call, so its line is the call's line even when the call is the last
// instruction of its line or of its function. A frame that follows no call is looked up at its
// own address.
std::uint64_t call_address(std::uint64_t key) {
  if (looked_up_at_address(key)) return pc_of(key);
  return key != 0 ? key - 1 : 0;
}

// How far the frame's address lies past the address it is looked up at.
std::uint32_t distance_to_call(std::uint64_t key) {
  return static_cast<std::uint32_t>(pc_of(key) - call_address(key));
}

// Writes `pc` in the address form of a function without symbol.
const wchar_t* address_name(std::uint64_t pc, SymbolRecord& symbol) {
  const auto written =
      fmt::format_to_n(symbol.name, SymbolRecord::kMaxNameLength, L"0x{:016X}", pc);
  symbol.name[std::min<std::size_t>(written.size, SymbolRecord::kMaxNameLength)] = L'\0';
  return symbol.name;
}

void prepare(SymbolRecord& symbol) {
  symbol.size_of_struct = 88;
  symbol.max_name_len = SymbolRecord::kMaxNameLength;
}

// Writes the formatted line into `out`, cut so that it fits `capacity` - 1 characters and still
// ends in a line feed, terminates it and returns its length.
template <typename... Args>
std::size_t write_line(wchar_t* out, std::size_t capacity, fmt::wstring_view format,
                       const Args&... args) {
  if (capacity < 2) return 0;
  const std::size_t room = capacity - 1;
  const auto result = fmt::format_to_n(out, room, format, args...);
  std::size_t length = std::min(result.size, room);
  if (result.size > room) out[length - 1] = L'\n';
  out[length] = L'\0';
  return length;
}

}  // namespace

// The resolved text while it is being built: starts with the room asked for and doubles when
// more comes.
class CallStack::TextBuilder {
 public:
  explicit TextBuilder(std::size_t initial_capacity) {
    reserve(std::max<std::size_t>(1, initial_capacity));
  }

  void append(const wchar_t* line, std::size_t length) {
    if (used_ + length + 1 > capacity_) reserve(std::max(capacity_ * 2, used_ + length + 1));
    std::copy_n(line, length, text_.get() + used_);
    used_ += length;
  }

  std::size_t capacity() const { return capacity_; }
  std::unique_ptr<wchar_t[]> release() { return std::move(text_); }

 private:
  void reserve(std::size_t capacity) {
    if (capacity > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
      throw std::bad_alloc();
    }
    std::unique_ptr<wchar_t[]> grown(new wchar_t[capacity]());
    if (text_ != nullptr) std::copy_n(text_.get(), used_, grown.get());
    text_ = std::move(grown);
    capacity_ = capacity;
  }

  std::unique_ptr<wchar_t[]> text_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;  // the text is zero-filled beyond it, so always terminated
};

// What one line of a frame shows, before it is formatted.
struct CallStack::FrameLookup {
  SymbolRecord symbol;
  const wchar_t* name = nullptr;
  bool function_found = false;
  LineRecord line;
  bool line_found = false;
  std::uint32_t displacement = 0;
};

void CallStack::resolve() {
  if (resolved_text_ != nullptr) return;
  CriticalSectionGuard guard(symbol_lock_);
  bound_resolved_frames();

  // The lines of every shown frame first (kept per address, so they stay where they are), then
  // one text of exactly their length.
  std::vector<const std::wstring*> frames;
  frames.reserve(size_);
  std::size_t length = 0;
  FrameChunk* chunk = &first_chunk_;
  for (std::uint32_t i = 0; i < size_; ++i) {
    if (i > 0 && i % FrameChunk::kSlots == 0) chunk = chunk->next;
    if (i < kHiddenFrames) continue;
    frames.push_back(&lines_of_frame(chunk->frames[i % FrameChunk::kSlots]));
    length += frames.back()->size();
  }
  TextBuilder text(length + 1);
  for (const std::wstring* lines : frames) text.append(lines->data(), lines->size());
  resolved_capacity_ = static_cast<std::int32_t>(text.capacity());
  resolved_text_ = text.release();
}

const wchar_t* CallStack::resolve_text() {
  resolve();
  return resolved_text_.get();
}

void forget_resolved_frames() {
  frame_lines.clear();
  provisional_frames.clear();
  signal_trampolines.clear();
}

std::size_t most_kept_frames() { return most_kept; }

bool bound_resolved_frames() {
  if (frame_lines.size() <= most_kept) return false;
  frame_lines.clear();
  provisional_frames.clear();
  return true;
}

namespace resmonitor::stack_testing {

void set_most_kept_frames(std::size_t most) { most_kept = most; }

std::size_t kept_frames() { return frame_lines.size(); }

}  // namespace resmonitor::stack_testing

std::uint64_t CallStack::lookup_key(std::uint64_t key, bool check) {
  if (key == 0 || (key & ~kBelowTopByte) != 0) return key;
  const bool known = !signal_trampolines.empty() && signal_trampolines.count(key) != 0;
  const bool found = !known && check && debug_help().is_signal_trampoline(key);
  if (found) {
    signal_trampolines.insert(key);
    signal_trampolines_found_ = true;
  }
  return known || found ? key | kAtAddressTag : key;
}

std::uint64_t CallStack::key_after_signal_trampoline(std::uint64_t pc) {
  return (pc & ~kBelowTopByte) == 0 ? pc | kAtAddressTag : pc;
}

bool CallStack::known_signal_trampoline(std::uint64_t pc) {
  return signal_trampolines.count(pc) != 0;
}

const std::wstring& CallStack::lines_of_frame(std::uint64_t pc, const FrameModule* module) {
  const FrameKey key = resmonitor::frame_key(pc, module);
  const auto known = frame_lines.find(key);
  if (known != frame_lines.end() && provisional_frames.count(key) == 0) return known->second;
  std::wstring lines;
  const bool final = resolve_frame_lines(lookup_key(pc, known == frame_lines.end()), module, lines);
  // Assigned in place: an earlier frame of the same stack may point at this element.
  std::wstring& kept = frame_lines[key];
  kept = std::move(lines);
  if (final || ++provisional_frames[key] >= kMissesBeforeFinal) provisional_frames.erase(key);
  return kept;
}

bool CallStack::frame_lines_final(std::uint64_t pc, const FrameModule* module) {
  const FrameKey key = resmonitor::frame_key(pc, module);
  return frame_lines.count(key) != 0 && provisional_frames.count(key) == 0;
}

bool CallStack::resolve_frame_lines(std::uint64_t pc, const FrameModule* module,
                                    std::wstring& lines) {
  const FrameSource source = resmonitor::frame_source(module, process_);
  if (source.unloaded_without_file) {
    // Nothing to look up, and nothing will be while the file stays as it is.
    lines.append(line_buffer,
                 format_unloaded_frame(pc_of(pc) - module->identity.base, source.module_name,
                                       line_buffer, kLineCapacity));
    return true;
  }
  std::uint32_t first_shown = 0;
  const std::uint32_t inlined_calls = inlined_calls_of(pc, source, first_shown);
  ModuleName module_path;
  const wchar_t* module_name = module_name_at(pc_of(pc), source, module_path);
  FrameLookup found;
  for (std::uint32_t depth = first_shown; depth < inlined_calls; ++depth) {
    look_up_inlined_call(pc, depth, source, found);
    lines.append(line_buffer,
                 format_frame_of(module_name, found.line_found ? &found.line : nullptr,
                                 found.displacement, found.name, line_buffer, kLineCapacity));
  }
  look_up_function(pc, inlined_calls, source, found);
  lines.append(line_buffer,
               format_frame_of(module_name, found.line_found ? &found.line : nullptr,
                               found.displacement, found.name, line_buffer, kLineCapacity));
  return found.function_found;
}

std::vector<FrameFields> CallStack::fields_of_frame(std::uint64_t key, const FrameModule* module) {
  CriticalSectionGuard guard(symbol_lock_);
  const std::uint64_t pc = lookup_key(key, true);
  const FrameSource source = resmonitor::frame_source(module, process_);
  ModuleName module_path;
  const std::wstring module_name = module_name_at(pc_of(pc), source, module_path);
  std::uint64_t base = module != nullptr ? module->identity.base : 0;
  if (base == 0) {
    base = static_cast<std::uint64_t>(
        reinterpret_cast<std::uintptr_t>(debug_help().allocation_base(pc_of(pc))));
  }
  std::vector<FrameFields> fields;
  const auto add = [&](const FrameLookup* found, bool inlined) {
    FrameFields& frame = fields.emplace_back();
    frame.module = module_name;
    frame.module_offset = base != 0 ? pc_of(pc) - base : 0;
    frame.inlined = inlined;
    if (found == nullptr) return;
    frame.function = found->name;
    if (found->line_found) {
      frame.file = found->line.file_name != nullptr ? found->line.file_name : L"";
      frame.line = found->line.line_number;
    }
  };
  if (source.unloaded_without_file) {
    add(nullptr, false);
    return fields;
  }
  std::uint32_t first_shown = 0;
  const std::uint32_t inlined_calls = inlined_calls_of(pc, source, first_shown);
  FrameLookup found;
  for (std::uint32_t depth = first_shown; depth < inlined_calls; ++depth) {
    look_up_inlined_call(pc, depth, source, found);
    add(&found, true);
  }
  look_up_function(pc, inlined_calls, source, found);
  add(&found, false);
  return fields;
}

std::uint32_t CallStack::inlined_calls_of(std::uint64_t pc, const FrameSource& source,
                                          std::uint32_t& first_shown) {
  const std::uint32_t inlined_calls =
      debug_help().inline_call_count(source.process, call_address(pc));
  first_shown = inlined_calls > kMaxInlinedCalls ? inlined_calls - kMaxInlinedCalls : 0;
  return inlined_calls;
}

void CallStack::look_up_inlined_call(std::uint64_t pc, std::uint32_t depth,
                                     const FrameSource& source, FrameLookup& found) {
  auto& help = debug_help();
  prepare(found.symbol);
  found.function_found = help.inline_symbol(source.process, call_address(pc), depth, found.symbol);
  found.name = found.function_found ? found.symbol.name : address_name(pc_of(pc), found.symbol);
  found.symbol.name[SymbolRecord::kMaxNameLength] = L'\0';
  found.line = LineRecord();
  std::uint32_t line_displacement = 0;
  found.line_found =
      help.inline_line(source.process, call_address(pc), depth, &line_displacement, found.line);
  // Only the innermost line starts where the look-up was made; a call site has no distance.
  found.displacement =
      found.line_found && depth == 0 ? line_displacement + distance_to_call(pc) : 0;
}

void CallStack::look_up_function(std::uint64_t pc, std::uint32_t inlined_calls,
                                 const FrameSource& source, FrameLookup& found) {
  auto& help = debug_help();
  std::uint64_t symbol_displacement = 0;
  found.name = function_name_in(source.process, pc, &symbol_displacement, found.symbol,
                                &found.function_found);
  found.line = LineRecord();
  std::uint32_t line_displacement = 0;
  found.displacement = static_cast<std::uint32_t>(symbol_displacement);
  if (inlined_calls == 0) {
    found.line_found =
        help.line_from_address(source.process, call_address(pc), &line_displacement, found.line);
    if (found.line_found) found.displacement = line_displacement + distance_to_call(pc);
  } else {
    // The line of the outermost inlined call: a call site, without a distance.
    found.line_found = help.inline_line(source.process, call_address(pc), inlined_calls,
                                        &line_displacement, found.line);
    if (found.line_found) found.displacement = 0;
  }
}

const wchar_t* CallStack::function_name(std::uint64_t pc, std::uint64_t* displacement,
                                        SymbolRecord& symbol, bool* found) {
  return function_name_in(process_, pc, displacement, symbol, found);
}

const wchar_t* CallStack::function_name_in(ProcessHandle process, std::uint64_t pc,
                                           std::uint64_t* displacement, SymbolRecord& symbol,
                                           bool* found) {
  prepare(symbol);
  *displacement = 0;
  const bool known =
      debug_help().symbol_from_address(process, call_address(pc), displacement, symbol);
  if (found != nullptr) *found = known;
  if (known) {
    symbol.name[SymbolRecord::kMaxNameLength] = L'\0';
    *displacement += distance_to_call(pc);
    return symbol.name;
  }
  *displacement = 0;
  return address_name(pc_of(pc), symbol);
}

std::size_t CallStack::format_frame(std::uint64_t pc, const LineRecord* line,
                                    std::uint32_t displacement, const wchar_t* function,
                                    wchar_t* out, std::size_t out_capacity) {
  ModuleName module;
  return format_frame_of(module_name_at(pc, FrameSource{process_, nullptr, false}, module), line,
                         displacement, function, out, out_capacity);
}

const wchar_t* CallStack::module_name_at(std::uint64_t pc, const FrameSource& source,
                                         ModuleName& name) {
  if (source.module_name != nullptr) return source.module_name;
  auto& help = debug_help();
  const auto base = help.allocation_base(pc);
  if (base != nullptr && help.module_file_name(base, name.path, kModulePathCapacity) != 0) {
    name.path[kModulePathCapacity - 1] = L'\0';
    return resmonitor::module_name_of(name.path);
  }
  return L"(Module name unavailable)";
}

std::size_t CallStack::format_unloaded_frame(std::uint64_t offset, const wchar_t* module_name,
                                             wchar_t* out, std::size_t out_capacity) {
  return write_line(out, out_capacity, L"    {}!+0x{:X} (unloaded)\n",
                    fmt::wstring_view(module_name), offset);
}

std::size_t CallStack::format_frame_of(const wchar_t* module_name, const LineRecord* line,
                                       std::uint32_t displacement, const wchar_t* function,
                                       wchar_t* out, std::size_t out_capacity) {
  const fmt::wstring_view module(module_name);
  const fmt::wstring_view name(function);
  if (line != nullptr) {
    const fmt::wstring_view file(line->file_name != nullptr ? line->file_name : L"");
    if (displacement == 0) {
      return write_line(out, out_capacity, L"    {} ({}): {}!{}()\n", file, line->line_number,
                        module, name);
    }
    return write_line(out, out_capacity, L"    {} ({}): {}!{}() + 0x{:X} bytes\n", file,
                      line->line_number, module, name, displacement);
  }
  if (displacement == 0) return write_line(out, out_capacity, L"    {}!{}()\n", module, name);
  return write_line(out, out_capacity, L"    {}!{}() + 0x{:X} bytes\n", module, name, displacement);
}
