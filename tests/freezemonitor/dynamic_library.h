// Loads and unloads a shared library at run time, as a host that plugs the library in does.
#pragma once

namespace quillmark::testing {

class DynamicLibrary {
 public:
  explicit DynamicLibrary(const char* path);
  ~DynamicLibrary() { unload(); }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  void* symbol(const char* name) const;
  // Whether the library at `path` is mapped in the process right now.
  static bool resident(const char* path);
  // Leaves the library loaded for the rest of the process.
  void keep_loaded() { handle_ = nullptr; }
  // Returns once the operating system's unload call returned; a no-op when nothing is loaded.
  void unload();

 private:
  void* handle_ = nullptr;
};

}  // namespace quillmark::testing
