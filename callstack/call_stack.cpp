#include "callstack/call_stack.h"

#include <algorithm>

namespace {

using quillmark::platform::debug_help;

// The capture never asks for more than this many frames.
constexpr std::uint32_t kMaxCapturedFrames = 62;
// Frames captured beyond the requested depth: the capture and recording functions themselves,
// the registration operation and the host frames the resolution leaves out.
constexpr std::uint32_t kExtraCapturedFrames = 10;

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

__attribute__((noinline)) void FastCallStack::capture(std::uint32_t max_depth, std::uint32_t skip,
                                                      StackContext& context) {
  const std::uint32_t requested = std::min(max_depth + kExtraCapturedFrames, kMaxCapturedFrames);
  // On the stack rather than the heap: a registration captures every time.
  std::uint64_t entries[kMaxCapturedFrames] = {};
  const std::uint32_t got = std::min<std::uint32_t>(
      debug_help().capture_back_trace(0, requested, entries, &hash_), requested);

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
