// Turning a recorded stack into text: symbol and line look-ups per frame, inlined calls, and the
// four frame-line formats.
#include "callstack/call_stack.h"
#include "callstack/describe_stack_testing.h"

#include <algorithm>
#include <limits>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "callstack/frame_modules.h"
#include "callstack/module_files.h"
#include "callstack/path_text.h"

namespace {

using quillmark::platform::AddressSymbols;
using quillmark::platform::CriticalSectionGuard;
using quillmark::platform::debug_help;
using quillmark::platform::ProcessHandle;
using quillmark::platform::ShownFunction;
using resmonitor::FrameKey;
using resmonitor::FrameKeyHash;
using resmonitor::FrameModule;
using resmonitor::FrameSource;

// The lines of every frame resolved so far, by return address and the module recorded for it
// (frame_modules.h), in UTF-8 and normalised as the text of a stack is (describe_stack.h). Module
// symbols are loaded once and never change, and a module that leaves its address takes its key
// with it, so the lines of a key never change either: each is resolved once per process, and a
// stack whose frames were all seen before costs copies only. The resolution lock of
// describe_stack.cpp, which every caller of the resolution holds, guards this and everything
// below.
std::unordered_map<FrameKey, std::string, FrameKeyHash> frame_lines;
// The keys in frame_lines whose function was not found, with the look-ups that missed so far:
// looked up again at their next use, so that a passing failure (a module whose symbols could not
// be loaded for want of memory) is not remembered. A frame that misses again lies where its
// module has no symbol: it is final then, and reports stop looking it up (each look-up reads the
// loader's module list, which the unwinder of every registering thread reads too). Guarded like
// frame_lines.
std::unordered_map<FrameKey, int, FrameKeyHash> provisional_frames;
constexpr int kMissesBeforeFinal = 2;
// The bound of frame_lines (kMostKeptFrames; tests set less). Guarded like frame_lines.
std::size_t most_kept = kMostKeptFrames;

// Frames are kept and looked up by key: the return address, or for a frame that follows no call
// (a signal trampoline, and the frame the signal interrupted) the address with its top byte set
// to this tag. No address of code has it: x86-64 addresses are canonical (top byte 0 or 0xFF).
constexpr std::uint64_t kAtAddressTag = std::uint64_t{0x80} << 56;
constexpr std::uint64_t kBelowTopByte = (std::uint64_t{1} << 56) - 1;

bool looked_up_at_address(std::uint64_t key) { return (key & ~kBelowTopByte) == kAtAddressTag; }

// The return addresses found to start a signal trampoline, usually none. Such a frame is looked
// up at its own address, and so is the frame after it. Guarded like frame_lines.
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

// The longest function name shown: what the symbol handler's record holds.
constexpr std::size_t kMaxNameLength = 256;

// `pc` in the address form of a function without symbol.
std::string address_name(std::uint64_t pc) { return fmt::format("0x{:016X}", pc); }

// `name` as valid UTF-8, cut where the handler's wide record of kMaxNameLength characters cuts it.
std::string shown_name(const std::string& name) {
  std::string valid = resmonitor::path_text::valid_utf8(name);
  const auto prefix = resmonitor::path_text::wide_prefix(valid, kMaxNameLength);
  if (prefix.bytes == valid.size()) return valid;
  valid.resize(prefix.bytes);
  if (prefix.splits_pair) valid += "\xEF\xBF\xBD";
  return valid;
}

// Appends the formatted line to `out`. A line that would take more than `capacity` - 1 wide
// characters is cut so that it fits and still ends in a line feed (so a frame with a very long
// source path and function name keeps its start); returns the length appended.
template <typename... Args>
std::size_t write_line(std::string& out, std::size_t capacity, fmt::string_view format,
                       const Args&... args) {
  if (capacity < 2) return 0;
  const std::size_t start = out.size();
  fmt::format_to(std::back_inserter(out), format, args...);
  const std::string_view line(out.data() + start, out.size() - start);
  if (resmonitor::path_text::wide_prefix(line, capacity - 1).bytes < line.size()) {
    // The last character that fits gives way to the line feed.
    const auto kept = resmonitor::path_text::wide_prefix(line, capacity - 2);
    out.resize(start + kept.bytes);
    if (kept.splits_pair) out += "\xEF\xBF\xBD";
    out += '\n';
  }
  return out.size() - start;
}

}  // namespace

void CallStack::resolve() {
  if (resolved_text_ != nullptr) return;
  CriticalSectionGuard guard(symbol_lock_);
  bound_resolved_frames();

  std::string lines;
  FrameChunk* chunk = &first_chunk_;
  for (std::uint32_t i = 0; i < size_; ++i) {
    if (i > 0 && i % FrameChunk::kSlots == 0) chunk = chunk->next;
    if (i >= kHiddenFrames) lines += lines_of_frame(chunk->frames[i % FrameChunk::kSlots]);
  }
  const std::wstring text = resmonitor::path_text::from_utf8(lines);
  if (text.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::bad_alloc();
  }
  std::unique_ptr<wchar_t[]> resolved(new wchar_t[text.size() + 1]());
  std::copy(text.begin(), text.end(), resolved.get());
  resolved_capacity_ = static_cast<std::int32_t>(text.size() + 1);
  resolved_text_ = std::move(resolved);
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

const std::string& CallStack::lines_of_frame(std::uint64_t pc, const FrameModule* module) {
  const FrameKey key = resmonitor::frame_key(pc, module);
  const auto known = frame_lines.find(key);
  if (known != frame_lines.end() && provisional_frames.count(key) == 0) return known->second;
  std::string lines;
  const bool final = resolve_frame_lines(lookup_key(pc, known == frame_lines.end()), module, lines);
  std::string shown = resmonitor::path_text::normalize_native(lines);
  // The miss is counted before the lines are kept: should memory run short in between, lines
  // kept without their count would pass for final.
  const bool keep_for_good = final || ++provisional_frames[key] >= kMissesBeforeFinal;
  // Assigned in place: an earlier frame of the same stack may point at this element.
  std::string& kept = frame_lines[key];
  kept = std::move(shown);
  if (keep_for_good) provisional_frames.erase(key);
  return kept;
}

bool CallStack::frame_lines_final(std::uint64_t pc, const FrameModule* module) {
  const FrameKey key = resmonitor::frame_key(pc, module);
  return frame_lines.count(key) != 0 && provisional_frames.count(key) == 0;
}

// What the lines of one frame show: for each line its function, source line and displacement.
// Shared by the text and the fields of a frame, so both show the same.
struct CallStack::FrameView {
  struct Line {
    const ShownFunction* shown;
    std::string function;  // the name as shown, or the address form
    std::uint32_t displacement;
    bool inlined;
  };
  std::string module;
  AddressSymbols symbols;
  std::vector<Line> lines;  // innermost first
};

void CallStack::view_frame(std::uint64_t pc, const FrameSource& source, FrameView& view) {
  debug_help().resolve_address(source.process, call_address(pc), view.symbols);
  const AddressSymbols& symbols = view.symbols;
  const std::size_t inlined = symbols.inlined.size();
  // Of a deeper chain the innermost calls are left out.
  const std::size_t first_shown = inlined > kMaxInlinedCalls ? inlined - kMaxInlinedCalls : 0;
  const std::uint32_t line_displacement = symbols.line_displacement + distance_to_call(pc);
  for (std::size_t depth = first_shown; depth < inlined; ++depth) {
    const ShownFunction& call = symbols.inlined[depth];
    // Only the innermost line starts where the look-up was made; a call site has no distance.
    const std::uint32_t displacement = call.has_line && depth == 0 ? line_displacement : 0;
    view.lines.push_back({&call, function_text(pc, call), displacement, true});
  }
  const ShownFunction& function = symbols.function;
  std::uint32_t displacement =
      function.has_name
          ? static_cast<std::uint32_t>(symbols.function_displacement + distance_to_call(pc))
          : 0;
  if (function.has_line) displacement = inlined == 0 ? line_displacement : 0;
  view.lines.push_back({&function, function_text(pc, function), displacement, false});
}

std::string CallStack::function_text(std::uint64_t pc, const ShownFunction& function) {
  return function.has_name ? shown_name(function.name) : address_name(pc_of(pc));
}

bool CallStack::resolve_frame_lines(std::uint64_t pc, const FrameModule* module,
                                    std::string& lines) {
  const FrameSource source = resmonitor::frame_source(module, process_);
  if (source.unloaded_without_file) {
    // Nothing to look up, and nothing will be while the file stays as it is.
    format_unloaded_frame(pc_of(pc) - module->identity.base,
                          resmonitor::path_text::to_utf8(source.module_name), lines);
    return true;
  }
  FrameView view;
  view.module = module_name_at(pc_of(pc), source);
  view_frame(pc, source, view);
  for (const FrameView::Line& line : view.lines) {
    format_frame_of(view.module, line.shown->has_line ? line.shown : nullptr, line.displacement,
                    line.function, lines);
  }
  return view.symbols.function.has_name && view.symbols.complete;
}

std::vector<FrameFields> CallStack::fields_of_frame(std::uint64_t key, const FrameModule* module) {
  CriticalSectionGuard guard(symbol_lock_);
  const std::uint64_t pc = lookup_key(key, true);
  const FrameSource source = resmonitor::frame_source(module, process_);
  std::uint64_t base = module != nullptr ? module->identity.base : 0;
  if (base == 0) {
    base = static_cast<std::uint64_t>(
        reinterpret_cast<std::uintptr_t>(debug_help().allocation_base(pc_of(pc))));
  }
  FrameView view;
  view.module = module_name_at(pc_of(pc), source);
  std::vector<FrameFields> fields;
  const auto add = [&](const FrameView::Line* line) {
    FrameFields& frame = fields.emplace_back();
    frame.module = view.module;
    frame.offset = base != 0 ? pc_of(pc) - base : 0;
    if (line == nullptr) return;
    frame.inlined = line->inlined;
    frame.function = line->function;
    if (line->shown->has_line) {
      frame.file = resmonitor::path_text::normalize_native(
          resmonitor::path_text::valid_utf8(line->shown->file));
      frame.line = line->shown->line;
    }
  };
  if (source.unloaded_without_file) {
    add(nullptr);
    return fields;
  }
  view_frame(pc, source, view);
  for (const FrameView::Line& line : view.lines) add(&line);
  return fields;
}

std::string CallStack::function_name(std::uint64_t pc, std::uint64_t* displacement, bool* found) {
  AddressSymbols symbols;
  debug_help().resolve_address(process_, call_address(pc), symbols);
  if (found != nullptr) *found = symbols.function.has_name;
  *displacement =
      symbols.function.has_name ? symbols.function_displacement + distance_to_call(pc) : 0;
  return function_text(pc, symbols.function);
}

std::size_t CallStack::format_frame(std::uint64_t pc, const ShownFunction* line,
                                    std::uint32_t displacement, const std::string& function,
                                    std::string& out) {
  return format_frame_of(module_name_at(pc, FrameSource{process_, nullptr, false}), line,
                         displacement, function, out);
}

std::string CallStack::module_name_at(std::uint64_t pc, const FrameSource& source) {
  if (source.module_name != nullptr) return resmonitor::path_text::to_utf8(source.module_name);
  auto& help = debug_help();
  const auto base = help.allocation_base(pc);
  wchar_t path[kModulePathCapacity] = {};
  if (base != nullptr && help.module_file_name(base, path, kModulePathCapacity) != 0) {
    path[kModulePathCapacity - 1] = L'\0';
    return resmonitor::path_text::to_utf8(resmonitor::module_name_of(path));
  }
  return "(Module name unavailable)";
}

std::size_t CallStack::format_unloaded_frame(std::uint64_t offset, const std::string& module_name,
                                             std::string& out) {
  return write_line(out, kLineCapacity, "    {}!+0x{:X} (unloaded)\n", module_name, offset);
}

std::size_t CallStack::format_frame_of(const std::string& module, const ShownFunction* line,
                                       std::uint32_t displacement, const std::string& function,
                                       std::string& out) {
  if (line != nullptr) {
    const std::string file = resmonitor::path_text::valid_utf8(line->file);
    if (displacement == 0) {
      return write_line(out, kLineCapacity, "    {} ({}): {}!{}()\n", file, line->line, module,
                        function);
    }
    return write_line(out, kLineCapacity, "    {} ({}): {}!{}() + 0x{:X} bytes\n", file, line->line,
                      module, function, displacement);
  }
  if (displacement == 0) return write_line(out, kLineCapacity, "    {}!{}()\n", module, function);
  return write_line(out, kLineCapacity, "    {}!{}() + 0x{:X} bytes\n", module, function,
                    displacement);
}
