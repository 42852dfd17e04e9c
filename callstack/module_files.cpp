#include "callstack/module_files.h"

#include <cwchar>
#include <vector>

namespace resmonitor {

namespace {

using quillmark::platform::debug_help;
using quillmark::platform::ModuleIdentity;
using quillmark::platform::ProcessHandle;

// The decision made for each module met during one resolution. Guarded by the resolution lock.
struct ModuleSource {
  std::uint64_t serial;
  FrameSource source;
  bool file_opened;  // source.process is a module file to close
};
std::vector<ModuleSource> sources;

// The modules the process's symbol handler has, as they were when it was given them. Guarded by
// the resolution lock.
std::vector<ModuleIdentity> handler_modules;

// The module the handler has at `base`, null when it has none there (any more).
const ModuleIdentity* handler_module_at(std::uint64_t base) {
  for (const ModuleIdentity& noted : handler_modules) {
    if (noted.base == base) return &noted;
  }
  return nullptr;
}

// Whether the process's handler resolves frames of `module` as the module they were recorded in.
// A module loaded after the handler was given its modules is left to the handler, as any frame
// of it always was.
bool handler_knows(const FrameModule& module) {
  const ModuleIdentity* noted = handler_module_at(module.identity.base);
  return noted == nullptr || quillmark::platform::same_module(*noted, module.identity);
}

// Drops the handler's module at `base` when it is the unloaded `module`: its symbols would only
// ever serve frames of whatever is loaded there next, and its file would stay open.
void drop_unloaded(const FrameModule& module, ProcessHandle process) {
  const ModuleIdentity* noted = handler_module_at(module.identity.base);
  if (noted == nullptr || !quillmark::platform::same_module(*noted, module.identity)) return;
  debug_help().unload_module(process, module.identity.base);
  handler_modules.erase(handler_modules.begin() + (noted - handler_modules.data()));
}

FrameSource decide(const FrameModule& module, ProcessHandle process, bool& file_opened) {
  FrameSource source;
  file_opened = false;
  const bool loaded = quillmark::platform::module_loaded(module.identity);
  if (loaded && handler_knows(module)) {
    source.process = process;
    return source;
  }
  if (!loaded) drop_unloaded(module, process);
  source.module_name = module_name_of(module.path.c_str());
  source.process = debug_help().open_module_file(module.path.c_str(), module.identity);
  file_opened = source.process != nullptr;
  source.unloaded_without_file = !file_opened;
  return source;
}

}  // namespace

const wchar_t* module_name_of(const wchar_t* path) {
  const wchar_t* backslash = std::wcsrchr(path, L'\\');
  if (backslash != nullptr) return backslash + 1;
  const wchar_t* slash = std::wcsrchr(path, L'/');
  return slash != nullptr ? slash + 1 : path;
}

FrameSource frame_source(const FrameModule* module, ProcessHandle process) {
  if (module == nullptr) return FrameSource{process, nullptr, false};
  for (const ModuleSource& known : sources) {
    if (known.serial == module->serial) return known.source;
  }
  bool file_opened = false;
  const FrameSource source = decide(*module, process, file_opened);
  try {
    sources.push_back({module->serial, source, file_opened});
  } catch (...) {
    if (file_opened) debug_help().close_module_file(source.process);
    throw;
  }
  return source;
}

void close_module_files() {
  for (const ModuleSource& known : sources) {
    if (known.file_opened) debug_help().close_module_file(known.source.process);
  }
  sources.clear();
}

void note_handler_modules(const std::uint64_t* bases, std::uint32_t count) {
  handler_modules.assign(count, ModuleIdentity());
  quillmark::platform::identify_modules(bases, count, handler_modules.data());
}

void forget_handler_modules() { handler_modules.clear(); }

}  // namespace resmonitor
