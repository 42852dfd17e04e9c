// A shared library loaded and unloaded at run time, as a host that plugs quillmark in does.
#pragma once

#include <string>

namespace resmonitor::testing {

class LoadedLibrary {
 public:
  explicit LoadedLibrary(const char* path);
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  template <typename Function>
  Function* function(const char* decorated_name) const {
    return reinterpret_cast<Function*>(symbol(decorated_name));
  }
  // Drops this reference (FreeLibrary, dlclose) and returns when the system call returned.
  void unload();
  // Whether the library at `path` is mapped in the process right now.
  static bool resident(const char* path);
  // Whether any view of the file named `file_name` (the last part of its path) is mapped in the
  // process, as code or as data.
  static bool file_mapped(const std::string& file_name);

 private:
  void* symbol(const char* name) const;

  void* handle_ = nullptr;
};

}  // namespace resmonitor::testing
