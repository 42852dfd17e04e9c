#include "callstack/module_files.h"

#include <cwchar>
#include <vector>

namespace resmonitor {

namespace {

using quillmark::platform::debug_help;
using quillmark::platform::ProcessHandle;

// The decision made for each module met during one resolution. Guarded by the resolution lock.
struct ModuleSource {
  std::uint64_t serial;
  FrameSource source;
  bool file_opened;  // source.process is a module file to close
};
std::vector<ModuleSource> sources;

FrameSource decide(const FrameModule& module, ProcessHandle process, bool& file_opened) {
  FrameSource source;
  file_opened = false;
  if (quillmark::platform::module_loaded(module.identity)) {
    source.process = process;
    return source;
  }
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

}  // namespace resmonitor
