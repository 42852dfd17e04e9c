#include "callstack/call_stack.h"

#include <algorithm>

#include "platform/frame_hash.h"

namespace {

using quillmark::platform::debug_help;

// The capture never asks for more than this many frames.
constexpr std::uint32_t kMaxCapturedFrames = CapturedFrames::kCapacity;
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

std::uint32_t hash_of_frames(const std::uint64_t* frames, std::uint32_t count) {
  return quillmark::platform::hash_of_frames(frames, count);
}

__attribute__((noinline)) void capture_frames(std::uint32_t max_depth, std::uint32_t skip,
                                              const StackContext& context, CapturedFrames& out,
                                              bool with_back_trace_hash) {
  const std::uint32_t requested = std::min(max_depth + kExtraCapturedFrames, kMaxCapturedFrames);
  // On the stack rather than the heap, and not cleared first: a registration captures every
  // time, and only the entries the back-trace wrote are read.
  std::uint64_t entries[kMaxCapturedFrames];
  const std::uint32_t got = std::min<std::uint32_t>(
      debug_help().capture_back_trace(0, requested, entries,
                                      with_back_trace_hash ? &out.back_trace_hash : nullptr),
      requested);

  std::uint32_t end = 0;
  std::uint32_t start = 0;
  for (; end < got && entries[end] != 0; ++end) {
    if (entries[end] == context.return_address) start = end;
  }
  start = std::min(end, start + skip);
  out.count = end - start;
  std::copy(entries + start, entries + end, out.frames);
  out.frames_hash = hash_of_frames(out.frames, out.count);
}

__attribute__((noinline)) void FastCallStack::capture(std::uint32_t max_depth, std::uint32_t skip,
                                                      StackContext& context) {
  CapturedFrames captured;
  capture_frames(max_depth, skip, context, captured);
  assign(captured);
}

void FastCallStack::assign(const CapturedFrames& captured) {
  hash_ = captured.back_trace_hash;
  for (std::uint32_t i = 0; i < captured.count; ++i) push_frame(captured.frames[i]);
}

CallStack* create_fast_call_stack() { return new FastCallStack(); }
