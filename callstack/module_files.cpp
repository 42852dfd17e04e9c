#include "callstack/module_files.h"

#include <algorithm>
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

// A module the process's symbol handler was given, as it was then.
struct HandlerModule {
  ModuleIdentity identity;
  // Found no longer loaded, and dropped from the handler: the frames of whatever lies at its
  // address now are read from their module's file.
  bool dropped = false;
};
// Guarded by the resolution lock.
std::vector<HandlerModule> handler_modules;

// The module the handler was given at `base`, null when none.
HandlerModule* handler_module_at(std::uint64_t base) {
  for (HandlerModule& noted : handler_modules) {
    if (noted.identity.base == base) return &noted;
  }
  return nullptr;
}

// Whether the process's handler resolves the frames of the loaded `module` as the module they
// were recorded in. A module loaded after the handler was given its modules is left to the
// handler, as any frame of it always was.
bool handler_serves(const FrameModule& module) {
  const HandlerModule* noted = handler_module_at(module.identity.base);
  if (noted == nullptr) return true;
  return !noted->dropped && quillmark::platform::same_module(noted->identity, module.identity);
}

// Drops the handler's module at `base` once it is no longer loaded: its symbols would only serve
// frames of whatever is loaded there next, under the wrong names, and its file would stay open.
void drop_unloaded_handler_module(std::uint64_t base, ProcessHandle process) {
  HandlerModule* noted = handler_module_at(base);
  if (noted == nullptr || noted->dropped || quillmark::platform::module_loaded(noted->identity)) {
    return;
  }
  debug_help().unload_module(process, base);
  noted->dropped = true;
}

// Whether the frames of `module` are read from its file rather than from the process.
bool read_from_file(const FrameModule& module) {
  return !quillmark::platform::module_loaded(module.identity) || !handler_serves(module);
}

const ModuleSource* known_source(const FrameModule& module) {
  for (const ModuleSource& known : sources) {
    if (known.serial == module.serial) return &known;
  }
  return nullptr;
}

FrameSource decide(const FrameModule& module, ProcessHandle process, bool& file_opened) {
  FrameSource source;
  file_opened = false;
  if (!read_from_file(module)) {
    source.process = process;
    return source;
  }
  drop_unloaded_handler_module(module.identity.base, process);
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
  if (const ModuleSource* known = known_source(*module)) return known->source;
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

std::vector<const FrameModule*> modules_read_from_files(const FrameModule* const* modules,
                                                        std::uint32_t count) {
  std::vector<const FrameModule*> found;
  for (std::uint32_t i = 0; i < count; ++i) {
    const FrameModule* module = modules[i];
    if (module == nullptr || known_source(*module) != nullptr ||
        std::find(found.begin(), found.end(), module) != found.end() || !read_from_file(*module)) {
      continue;
    }
    found.push_back(module);
  }
  return found;
}

std::vector<ModuleFileAhead> open_module_files_ahead(
    const std::vector<const FrameModule*>& modules) {
  std::vector<ModuleFileAhead> files;
  files.reserve(modules.size());
  try {
    for (const FrameModule* module : modules) {
      files.push_back(
          {module, debug_help().open_module_file_ahead(module->path.c_str(), module->identity)});
    }
  } catch (...) {
    for (const ModuleFileAhead& opened : files) {
      if (opened.file != nullptr) debug_help().close_module_file(opened.file);
    }
    throw;
  }
  return files;
}

void adopt_module_files(const std::vector<ModuleFileAhead>& files, ProcessHandle process) {
  try {
    sources.reserve(sources.size() + files.size());
  } catch (...) {
    for (const ModuleFileAhead& opened : files) {
      if (opened.file != nullptr) debug_help().close_module_file(opened.file);
    }
    throw;
  }
  for (const ModuleFileAhead& opened : files) {
    if (opened.file == nullptr) continue;
    if (known_source(*opened.module) != nullptr) {
      debug_help().close_module_file(opened.file);
      continue;
    }
    drop_unloaded_handler_module(opened.module->identity.base, process);
    const FrameSource source{opened.file, module_name_of(opened.module->path.c_str()), false};
    sources.push_back({opened.module->serial, source, true});
  }
}

void close_module_files() {
  for (const ModuleSource& known : sources) {
    if (known.file_opened) debug_help().close_module_file(known.source.process);
  }
  sources.clear();
}

void note_handler_modules(const std::uint64_t* bases, std::uint32_t count) {
  std::vector<ModuleIdentity> identities(count);
  quillmark::platform::identify_modules(bases, count, identities.data());
  handler_modules.clear();
  for (const ModuleIdentity& identity : identities) {
    if (identity.base != 0) handler_modules.push_back({identity, false});
  }
}

void forget_handler_modules() { handler_modules.clear(); }

}  // namespace resmonitor
