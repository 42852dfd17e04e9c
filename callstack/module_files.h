// Where the symbols of a recorded frame are looked up: in the process while the frame's module is
// loaded as it was when the stack was recorded, else in the module's file, read for the
// resolution and closed right after it.
#pragma once

#include <cstdint>
#include <vector>

#include "callstack/frame_modules.h"
#include "platform/debug_help.h"

namespace resmonitor {

struct FrameSource {
  // The handle the look-ups take: the process's, or that of the module's opened file.
  quillmark::platform::ProcessHandle process = nullptr;
  // The module name the frame shows; null for the name of the module loaded at the address.
  const wchar_t* module_name = nullptr;
  // The module is no longer loaded and its file is gone or another build: nothing can be looked
  // up, and the frame shows its module's name and offset only.
  bool unloaded_without_file = false;
};

// The source of a frame recorded in `module` (null: the process, as for every frame before
// modules were recorded). A module file is opened at the first frame that needs it, unless the
// resolution opened it ahead (adopt_module_files()), and stays open until close_module_files().
// The caller holds the resolution lock.
FrameSource frame_source(const FrameModule* module, quillmark::platform::ProcessHandle process);

// Of the modules `modules[0, count)` (null entries left out), those whose frames are read from
// their files and whose files are not open yet, each once. The caller holds the resolution lock.
std::vector<const FrameModule*> modules_read_from_files(const FrameModule* const* modules,
                                                        std::uint32_t count);

// A module file opened before the resolution lock is taken; `file` is null when it could not be.
struct ModuleFileAhead {
  const FrameModule* module;
  quillmark::platform::ProcessHandle file;
};

// Opens the files of `modules` without the resolution lock, where the symbol handler can
// (DebugHelp::open_module_file_ahead); the others are opened by frame_source() as before.
std::vector<ModuleFileAhead> open_module_files_ahead(
    const std::vector<const FrameModule*>& modules);

// Hands the files opened ahead to frame_source() for the resolution that follows; one another
// resolution opened meanwhile is closed instead. Afterwards they are closed with the others
// (close_module_files()). The caller holds the resolution lock.
void adopt_module_files(const std::vector<ModuleFileAhead>& files,
                        quillmark::platform::ProcessHandle process);

// Closes the files frame_source() opened; called at the end of each resolution, so that no
// descriptor or mapping of an unloaded module's file stays in the process.
void close_module_files();

// Notes which modules the process's symbol handler was given (once per process, at the first
// resolution; `bases` are their load addresses). A recorded module that is loaded but is not the
// one the handler has at its address is then read from its file, so it never shows the names of
// the module that was there before; and a handler's module found unloaded (when a frame recorded
// at its address is resolved) is dropped from the handler, which then keeps nothing of its file.
void note_handler_modules(const std::uint64_t* bases, std::uint32_t count);
// Forgets what note_handler_modules() noted (tests that start the module loading over).
void forget_handler_modules();

// The part of a module path after its last backslash, else after its last slash, else the whole.
const wchar_t* module_name_of(const wchar_t* path);

}  // namespace resmonitor
