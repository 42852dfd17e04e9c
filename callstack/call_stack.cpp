#include "callstack/call_stack.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include <fmt/xchar.h>

namespace {

using quillmark::platform::CriticalSectionGuard;
using quillmark::platform::debug_help;
using quillmark::platform::LineRecord;
using quillmark::platform::SymbolRecord;

// The capture never asks for more than this many frames.
constexpr std::uint32_t kMaxCapturedFrames = 62;
// Frames captured beyond the requested depth: the capture and recording functions themselves,
// the registration operation and the host frames the resolution leaves out.
constexpr std::uint32_t kExtraCapturedFrames = 10;
// Frames 0 and 1 of a recorded stack (the registration operation and its direct caller) are
// never shown.
constexpr std::uint32_t kHiddenFrames = 2;
constexpr std::size_t kModulePathCapacity = 260;
const wchar_t kModuleNameUnavailable[] = L"(Module name unavailable)";

// The process-wide frame-line buffer. The registry mutex of the resource monitor, which every
// caller of the resolution holds, serialises its use.
wchar_t line_buffer[CallStack::kLineCapacity];

// The part of a module path after its last backslash, else after its last slash, else the whole.
const wchar_t* module_name_of(const wchar_t* path) {
  const wchar_t* backslash = std::wcsrchr(path, L'\\');
  if (backslash != nullptr) return backslash + 1;
  const wchar_t* slash = std::wcsrchr(path, L'/');
  return slash != nullptr ? slash + 1 : path;
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

CallStack::~CallStack() {
  FrameChunk* chunk = first_chunk_.next;
  while (chunk != nullptr) {
    FrameChunk* next = chunk->next;
    delete chunk;
    chunk = next;
  }
  resolved_text_.reset();
  resolved_capacity_ = 0;
}

void CallStack::bind_symbols(quillmark::platform::CriticalSection* lock,
                             quillmark::platform::ProcessHandle process) {
  symbol_lock_ = lock;
  process_ = process;
}

void CallStack::push_frame(std::uint64_t pc) {
  if (size_ == capacity_) {
    auto* chunk = new FrameChunk();
    top_chunk_->next = chunk;
    capacity_ += FrameChunk::kSlots;
    top_chunk_ = chunk;
    top_index_ = 0;
  }
  top_chunk_->frames[top_index_] = pc;
  ++top_index_;
  ++size_;
}

std::uint64_t CallStack::frame(std::uint32_t index) const {
  const FrameChunk* chunk = &first_chunk_;
  for (std::uint32_t i = 0; i < index / FrameChunk::kSlots; ++i) chunk = chunk->next;
  return chunk->frames[index % FrameChunk::kSlots];
}

void CallStack::resolve() {
  if (resolved_text_ != nullptr) return;
  CriticalSectionGuard guard(symbol_lock_);

  const std::size_t capacity = std::size_t{size_} * kLineCapacity;
  if (capacity > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::bad_alloc();
  }
  std::unique_ptr<wchar_t[]> text(new wchar_t[capacity == 0 ? 1 : capacity]());
  std::size_t used = 0;

  SymbolRecord symbol;
  LineRecord line;
  FrameChunk* chunk = &first_chunk_;
  for (std::uint32_t i = 0; i < size_; ++i) {
    if (i > 0 && i % FrameChunk::kSlots == 0) chunk = chunk->next;
    if (i < kHiddenFrames) continue;
    const std::uint64_t pc = chunk->frames[i % FrameChunk::kSlots];

    std::uint64_t symbol_displacement = 0;
    const wchar_t* name = function_name(pc, &symbol_displacement, symbol);
    std::uint32_t line_displacement = 0;
    const bool line_found = debug_help().line_from_address(process_, pc, &line_displacement, line);
    const std::uint32_t displacement =
        line_found ? line_displacement : static_cast<std::uint32_t>(symbol_displacement);
    const std::size_t length = format_frame(pc, line_found ? &line : nullptr, displacement, name,
                                            line_buffer, kLineCapacity);
    // Each shown line is below 512 characters and the buffer has 512 per frame, so this never
    // cuts; the bound only keeps a miscounted line from writing past the text.
    const std::size_t copied = std::min(length, capacity - 1 - used);
    std::copy_n(line_buffer, copied, text.get() + used);
    used += copied;
  }
  resolved_text_ = std::move(text);
  resolved_capacity_ = static_cast<std::int32_t>(capacity);
}

const wchar_t* CallStack::resolve_text() {
  resolve();
  return resolved_text_.get();
}

const wchar_t* CallStack::function_name(std::uint64_t pc, std::uint64_t* displacement,
                                        SymbolRecord& symbol) {
  symbol.size_of_struct = 88;
  symbol.max_name_len = SymbolRecord::kMaxNameLength;
  *displacement = 0;
  if (debug_help().symbol_from_address(process_, pc, displacement, symbol)) {
    symbol.name[SymbolRecord::kMaxNameLength] = L'\0';
    return symbol.name;
  }
  const auto written =
      fmt::format_to_n(symbol.name, SymbolRecord::kMaxNameLength, L"0x{:016X}", pc);
  symbol.name[std::min<std::size_t>(written.size, SymbolRecord::kMaxNameLength)] = L'\0';
  *displacement = 0;
  return symbol.name;
}

std::size_t CallStack::format_frame(std::uint64_t pc, const LineRecord* line,
                                    std::uint32_t displacement, const wchar_t* function,
                                    wchar_t* out, std::size_t out_capacity) {
  auto& help = debug_help();
  const wchar_t* module_name = kModuleNameUnavailable;
  wchar_t module_path[kModulePathCapacity] = {};
  const auto base = help.allocation_base(pc);
  if (base != nullptr && help.module_file_name(base, module_path, kModulePathCapacity) != 0) {
    module_path[kModulePathCapacity - 1] = L'\0';
    module_name = module_name_of(module_path);
  }

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

__attribute__((noinline)) void FastCallStack::capture(std::uint32_t max_depth, std::uint32_t skip,
                                                      StackContext& context) {
  const std::uint32_t requested = std::min(max_depth + kExtraCapturedFrames, kMaxCapturedFrames);
  std::unique_ptr<std::uint64_t[]> entries(new std::uint64_t[requested]());
  const std::uint32_t got = std::min<std::uint32_t>(
      debug_help().capture_back_trace(0, requested, entries.get(), &hash_), requested);

  std::uint32_t start = 0;
  for (std::uint32_t i = 0; i < got && entries[i] != 0; ++i) {
    if (entries[i] == context.return_address) start = i;
  }
  for (std::uint32_t i = start; i < got && entries[i] != 0; ++i) {
    if (skip > 0) {
      --skip;
      continue;
    }
    push_frame(entries[i]);
  }
}

CallStack* create_fast_call_stack() { return new FastCallStack(); }
