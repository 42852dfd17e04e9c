#include "callstack/frame_modules.h"

#include <algorithm>
#include <mutex>

namespace resmonitor {

namespace {

using quillmark::platform::ModuleIdentity;

// The records in use. Few (one per module that holds a frame of a live stack), so a list.
// Constant-initialised and never destroyed by itself: the last stack released frees the last
// record, whenever during teardown that happens.
std::mutex& table_mutex() {
  static std::mutex mutex;
  return mutex;
}
FrameModule* records = nullptr;  // guarded by table_mutex()
std::uint64_t last_serial = 0;   // guarded by table_mutex()
std::size_t record_count = 0;    // guarded by table_mutex()

// The record of `identity` loaded from `path`, with one more reference, made when there is none
// yet. The path is part of the key: copies of one file loaded one after the other at one address
// have the same identity, and each frame shows the name of its own. The caller holds
// table_mutex().
FrameModule* shared_record(const ModuleIdentity& identity, std::wstring& path) {
  for (FrameModule* record = records; record != nullptr; record = record->next) {
    if (quillmark::platform::same_module(record->identity, identity) && record->path == path) {
      ++record->references;
      return record;
    }
  }
  auto* record = new FrameModule();
  record->identity = identity;
  record->path = std::move(path);
  record->serial = ++last_serial;
  record->references = 1;
  record->next = records;
  records = record;
  ++record_count;
  return record;
}

void unlink_record(const FrameModule* record) {
  for (FrameModule** link = &records; *link != nullptr; link = &(*link)->next) {
    if (*link == record) {
      *link = record->next;
      --record_count;
      delete record;
      return;
    }
  }
}

}  // namespace

void record_frame_modules(const std::uint64_t* frames, std::uint32_t first, std::uint32_t count,
                          const FrameModule** out) {
  constexpr std::uint32_t kBatch = 16;
  ModuleIdentity identities[kBatch];
  // Index of the first frame of the batch in the same module.
  std::uint32_t first_in_module[kBatch];
  std::wstring paths[kBatch];
  for (std::uint32_t i = 0; i < std::min(first, count); ++i) out[i] = nullptr;
  for (std::uint32_t start = first; start < count; start += kBatch) {
    const std::uint32_t batch = std::min(kBatch, count - start);
    quillmark::platform::identify_modules(frames + start, batch, identities);
    // The paths are read before the table's lock is taken, which every release of a stack takes.
    for (std::uint32_t i = 0; i < batch; ++i) {
      first_in_module[i] = i;
      for (std::uint32_t j = 0; j < i; ++j) {
        if (quillmark::platform::same_module(identities[j], identities[i])) {
          first_in_module[i] = j;
          break;
        }
      }
      // The module holds a frame of the calling thread's stack, so it stays loaded meanwhile.
      if (identities[i].base != 0 && first_in_module[i] == i) {
        paths[i] = quillmark::platform::loaded_module_path(identities[i].base);
      }
    }
    std::lock_guard<std::mutex> lock(table_mutex());
    for (std::uint32_t i = 0; i < batch; ++i) {
      if (identities[i].base == 0) {
        out[start + i] = nullptr;
      } else if (first_in_module[i] != i) {
        const FrameModule* shared = out[start + first_in_module[i]];
        ++const_cast<FrameModule*>(shared)->references;
        out[start + i] = shared;
      } else {
        out[start + i] = shared_record(identities[i], paths[i]);
      }
    }
  }
}

void release_frame_modules(const FrameModule* const* modules, std::uint32_t count) {
  std::lock_guard<std::mutex> lock(table_mutex());
  for (std::uint32_t i = 0; i < count; ++i) {
    auto* record = const_cast<FrameModule*>(modules[i]);
    if (record != nullptr && --record->references == 0) unlink_record(record);
  }
}

std::size_t frame_module_count() {
  std::lock_guard<std::mutex> lock(table_mutex());
  return record_count;
}

}  // namespace resmonitor
