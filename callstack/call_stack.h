// Recorded call stacks: raw return addresses taken cheaply at registration, turned into text
// (module, function, source file and line) only when somebody asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/debug_help.h"

namespace resmonitor {
struct FrameModule;
struct FrameSource;
}  // namespace resmonitor

// The return address of the function this expands in, as the 64-bit value StackContext holds.
// Use it only in a function that is never inlined, or the address belongs to its caller.
#define QUILLMARK_RETURN_ADDRESS() \
  (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0))))

// A fixed block of frame slots; blocks are chained and never move while their stack lives.
struct FrameChunk {
  static constexpr std::uint32_t kSlots = 32;
  FrameChunk* next = nullptr;
  std::uint64_t frames[kSlots] = {};
};

// Where a recorded stack begins: the return address of the recording function, i.e. an address
// inside the registration operation that called it.
struct StackContext {
  std::uint64_t return_address = 0;
};

// The frames of one capture, kept on the caller's stack: a registration whose stack is pooled
// already needs no CallStack of its own.
struct CapturedFrames {
  static constexpr std::uint32_t kCapacity = 62;
  std::uint32_t count = 0;
  // The back-trace hash the platform computed over every address it took; 0 when the capture was
  // made without it (a pooled registration: the pool goes by frames_hash).
  std::uint32_t back_trace_hash = 0;
  // hash_of_frames() of frames[0, count).
  std::uint32_t frames_hash = 0;
  std::uint64_t frames[kCapacity];  // only the first `count` are set
};

// Takes min(max_depth + 10, 62) return addresses of the calling thread, starts at the last one
// equal to context.return_address (or at entry 0 when none is), stops at a zero entry, leaves out
// the first `skip` of the rest and keeps the others in `out`. The platform's back-trace hash is
// computed only when `with_back_trace_hash` asks for it.
void capture_frames(std::uint32_t max_depth, std::uint32_t skip, const StackContext& context,
                    CapturedFrames& out, bool with_back_trace_hash = true);
// FNV-1a over `count` addresses, an address at a time: the frames hash of CapturedFrames.
std::uint32_t hash_of_frames(const std::uint64_t* frames, std::uint32_t count);

// One line of a resolved frame as separate fields: what a frame line shows, for writers of other
// formats than text.
// In UTF-8; the file in the native path form, as the text shows it.
struct FrameFields {
  std::string module;        // the module's file name, or "(Module name unavailable)"
  std::uint64_t offset = 0;  // from the module's load address; 0 when the module is unknown
  std::string function;      // the function's name, its "0x..." address form, or empty (unloaded)
  std::string file;          // empty when no source line was found
  std::uint32_t line = 0;    // 0 when no source line was found
  bool inlined = false;      // a call inlined into the frame's function
};

// A recorded call stack. Frame i lives in chunk i / 32 of the chain starting at first_chunk, in
// slot i % 32. Everything but the resolved text is written only during capture; the owner
// serialises capture and resolution (the CStackInfo's stacks_mutex).
class CallStack {
 public:
  // Each resolved frame line takes fewer than this many wide characters of the system (UTF-16
  // units on Windows, code points on Linux), its line feed included.
  static constexpr std::size_t kLineCapacity = 512;
  // Frames 0 and 1 of a recorded stack (the registration operation and its direct caller) are
  // never shown.
  static constexpr std::uint32_t kHiddenFrames = 2;
  // At most this many lines of inlined calls are shown for one recorded frame.
  static constexpr std::uint32_t kMaxInlinedCalls = 8;

  CallStack() = default;
  virtual ~CallStack();
  CallStack(const CallStack&) = delete;
  CallStack& operator=(const CallStack&) = delete;

  virtual std::uint32_t hash_value() const = 0;
  // Fills the frame store from the calling thread's stack; called once per object.
  virtual void capture(std::uint32_t max_depth, std::uint32_t skip, StackContext& context) = 0;

  // Binds the stack to its owner's symbol lock and process handle (neither owned).
  void bind_symbols(quillmark::platform::CriticalSection* lock,
                    quillmark::platform::ProcessHandle process);
  // Appends one program counter, adding a chunk of 32 slots when the store is full.
  void push_frame(std::uint64_t pc);
  // Frame `index` (< size()).
  std::uint64_t frame(std::uint32_t index) const;

  // Resolves the frames to text once; later calls keep the text. Frames 0 and 1 are never shown.
  // Every frame is a return address: its function and line are looked up at the address before
  // it (inside the call instruction), so a line is the line of the call; displacements are
  // still measured to the return address. A frame inside calls that were inlined gives one line
  // per inlined function first, innermost first, each with the line of its call, then the line
  // of the function that holds them (at most kMaxInlinedCalls inlined lines per frame; of a
  // deeper chain the innermost are left out). The text is wide (made from the UTF-8 lines kept
  // per address, normalised as describe_stack shows them) and allocated at its exact length; it
  // holds at most 1 + kMaxInlinedCalls lines per frame, each below kLineCapacity characters.
  // The lines of each return address are resolved once per process and reused by every later
  // stack that has it. The caller serialises all resolutions in the process (describe_stack's
  // resolution lock).
  // An allocation failure propagates with the symbol lock released; the stack stays unresolved.
  void resolve();
  // The lines of the frame with return address `pc` (its inlined calls, then itself), resolved
  // at the first stack of the process that had it. The text stays where it is until the next
  // resolution starts (bound_resolved_frames()) or forget_resolved_frames().
  // A frame whose function was not found (its module had no symbols, or loading them failed for
  // a moment) is looked up again at its next use, so a passing failure is not remembered; when
  // that look-up misses too, the module has no symbol there and the lines are final.
  // `module` is the module recorded for the frame (frame_modules.h), null when none was: the
  // lines are kept per address and module, and a frame whose module is no longer loaded as it
  // was is resolved from the module's file (module_files.h), or, when that file is gone or
  // another build, shows as "    <module file name>!+0x<offset in the module> (unloaded)\n".
  //
  // `pc` is the frame's key (frame_key()): the return address, or the tagged key of a frame that
  // follows a signal trampoline. lines_of_frame, frame_lines_final and fields_of_frame take keys.
  const std::string& lines_of_frame(std::uint64_t pc,
                                    const resmonitor::FrameModule* module = nullptr);
  // The key the frames of a stack are resolved and kept under, given in order from the
  // innermost: the return address `pc`, looked up at pc - 1; for the frame after a signal
  // trampoline (the one the signal interrupted), a key that is looked up at pc itself. A frame
  // that returns into a trampoline is found to be one when its lines are first looked up, and
  // is looked up at its own address too.
  static std::uint64_t frame_key(std::uint64_t pc, bool after_signal_trampoline) {
    return after_signal_trampoline ? key_after_signal_trampoline(pc) : pc;
  }
  // Whether the frame of return address `pc`, once its lines were looked up, was found to return
  // into a signal trampoline: the next frame is then keyed as following one.
  static bool is_signal_trampoline_frame(std::uint64_t pc) {
    return signal_trampolines_found_ && known_signal_trampoline(pc);
  }
  // Whether the lines kept for `pc` in `module` name its function, so that they are final.
  static bool frame_lines_final(std::uint64_t pc, const resmonitor::FrameModule* module = nullptr);
  // The lines of the frame at `pc` in `module` as fields, in the order lines_of_frame() shows
  // them (an unloaded frame without its file gives one line with module and offset only).
  // Looked up anew at each call (not kept); same lock as resolve().
  std::vector<FrameFields> fields_of_frame(std::uint64_t pc,
                                           const resmonitor::FrameModule* module = nullptr);

  // Resolves if needed and returns the text: one line per shown frame, each ending in '\n'
  // (empty for a stack of two frames or fewer).
  const wchar_t* resolve_text();

  // The name of the function that made the call returning to `pc`, looked up at pc - 1, with
  // *displacement measured from the function's start to `pc`; or `pc` as "0x" and 16 upper-case
  // hex digits when the handler has none (then *displacement is 0). A name is valid UTF-8 of at
  // most 256 wide characters (longer ones are cut). `found`, when given, tells whether the
  // handler had the name.
  std::string function_name(std::uint64_t pc, std::uint64_t* displacement, bool* found = nullptr);
  // Appends one frame line of the module at `pc` to `out` and returns its length: `line` is the
  // frame's source line (null: none was found), `function` as function_name() gives it. A line
  // that would take kLineCapacity wide characters or more is cut to kLineCapacity - 1 of them and
  // still ends in '\n' (so a frame with a very long source path and function name keeps its
  // start).
  std::size_t format_frame(std::uint64_t pc, const quillmark::platform::ShownFunction* line,
                           std::uint32_t displacement, const std::string& function,
                           std::string& out);

  // The lock that serialises this stack's symbol-handler calls (null: none).
  quillmark::platform::CriticalSection* symbol_lock() const { return symbol_lock_; }
  std::uint32_t capacity() const { return capacity_; }
  std::uint32_t size() const { return size_; }
  bool resolved() const { return resolved_text_ != nullptr; }
  const FrameChunk& first_chunk() const { return first_chunk_; }

 private:
  static constexpr std::size_t kModulePathCapacity = 260;
  struct FrameView;

  static std::uint64_t key_after_signal_trampoline(std::uint64_t pc);
  // The key a frame is looked up under: `key`, or for the start of a signal trampoline `key`
  // tagged to be looked up at its address. `check` asks the system about an address not known
  // to be one (a frame looked up for the first time); otherwise only those found before count.
  static std::uint64_t lookup_key(std::uint64_t key, bool check);
  static bool known_signal_trampoline(std::uint64_t pc);
  // Set once a signal trampoline was found: until then no frame follows one (the common case
  // costs no look-up). Guarded like the resolved frames (the resolution lock).
  static inline bool signal_trampolines_found_ = false;

  // Appends the lines of the frame `pc` to `lines`; returns whether they are final: its function
  // was found, and the handler met no passing failure while it looked.
  bool resolve_frame_lines(std::uint64_t pc, const resmonitor::FrameModule* module,
                           std::string& lines);
  // Looks `pc` up in `source` and lists the lines its frame shows.
  void view_frame(std::uint64_t pc, const resmonitor::FrameSource& source, FrameView& view);
  static std::string function_text(std::uint64_t pc,
                                   const quillmark::platform::ShownFunction& function);
  // The module name a line of the frame at `pc` shows: the source's, else the file name of the
  // module loaded at `pc`, else "(Module name unavailable)".
  std::string module_name_at(std::uint64_t pc, const resmonitor::FrameSource& source);
  std::size_t format_frame_of(const std::string& module,
                              const quillmark::platform::ShownFunction* line,
                              std::uint32_t displacement, const std::string& function,
                              std::string& out);
  std::size_t format_unloaded_frame(std::uint64_t offset, const std::string& module_name,
                                    std::string& out);

  std::uint32_t capacity_ = FrameChunk::kSlots;
  std::uint32_t size_ = 0;
  FrameChunk first_chunk_;
  FrameChunk* top_chunk_ = &first_chunk_;
  std::uint32_t top_index_ = 0;
  std::unique_ptr<wchar_t[]> resolved_text_;
  std::int32_t resolved_capacity_ = 0;
  quillmark::platform::CriticalSection* symbol_lock_ = nullptr;
  quillmark::platform::ProcessHandle process_ = nullptr;
};

// The one concrete kind of stack: captured with the platform's fast back-trace.
class FastCallStack final : public CallStack {
 public:
  std::uint32_t hash_value() const override { return hash_; }
  // Takes min(max_depth + 10, 62) return addresses, starts at the last one equal to
  // context.return_address (or at entry 0 when none is), stops at a zero entry, leaves out the
  // first `skip` of the rest and stores the others.
  void capture(std::uint32_t max_depth, std::uint32_t skip, StackContext& context) override;
  // Takes the frames of a capture made earlier.
  void assign(const CapturedFrames& captured);

 private:
  std::uint32_t hash_ = 0;
};

// Forgets the frame lines resolved so far (they are kept per return address for the life of the
// process): for a symbol handler that starts over, as tests make it. Same lock as resolve().
void forget_resolved_frames();

// The most frames whose lines are kept (a frame's lines take some 0.3 to 1 KB). A resolution that
// starts with more kept forgets them all first and resolves again what its stacks need, so memory
// stays flat however many distinct return addresses a host records. Same lock as resolve().
constexpr std::size_t kMostKeptFrames = 65536;
std::size_t most_kept_frames();
// Forgets the kept lines when there are more than most_kept_frames(); true when it did. Called
// at the start of a resolution, before anything points into the kept lines.
bool bound_resolved_frames();

// A new FastCallStack in its initial state; the caller owns it.
CallStack* create_fast_call_stack();
