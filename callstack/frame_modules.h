// The modules the frames of pooled stacks were recorded in: one shared record per loaded module
// (base, build and path), so a stack keeps a pointer per frame rather than a path. A frame's lines
// are kept under its return address and its record, so an address that another module takes after
// an unload never shows the lines of the module that was there before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/module_identity.h"

namespace resmonitor {

struct FrameModule {
  quillmark::platform::ModuleIdentity identity;
  std::wstring path;  // as the loader gave it while the module was loaded
  // Unique for the life of the process (a freed record's address may be reused): the part of a
  // frame-line key that names the module.
  std::uint64_t serial = 0;
  // One per frame of a pooled stack that has the record. Guarded by the table's lock.
  std::uint32_t references = 0;
  FrameModule* next = nullptr;  // the table's list
};

// The table has a lock of its own, taken under a store's stacks_mutex (a new stack is interned, a
// pooled stack is dropped); no other lock is taken while it is held (module paths are read before).

// Looks up the modules of frames[first, count) (one walk over the loaded modules) and stores a
// shared record for each in out[i], with one more reference; null where no module holds the
// frame, and for i < first.
void record_frame_modules(const std::uint64_t* frames, std::uint32_t first, std::uint32_t count,
                          const FrameModule** out);
// Drops the references record_frame_modules gave; a record without references is freed.
void release_frame_modules(const FrameModule* const* modules, std::uint32_t count);

// How many records the table holds (for tests).
std::size_t frame_module_count();

// What the frame-line caches key a frame by: its return address and the serial of its module's
// record (0 for a frame without one, resolved against whatever is loaded at its address).
struct FrameKey {
  std::uint64_t pc;
  std::uint64_t module;
  bool operator==(const FrameKey& other) const { return pc == other.pc && module == other.module; }
};

struct FrameKeyHash {
  std::size_t operator()(const FrameKey& key) const {
    return static_cast<std::size_t>(key.pc * 0x9E3779B97F4A7C15ull ^ key.module);
  }
};

inline FrameKey frame_key(std::uint64_t pc, const FrameModule* module) {
  return {pc, module != nullptr ? module->serial : 0};
}

}  // namespace resmonitor
