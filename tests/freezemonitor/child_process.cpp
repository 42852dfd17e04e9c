#include "freezemonitor/child_process.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace quillmark::testing {
namespace {

#if defined(_WIN32)

constexpr const char* kExecutableSuffix = ".exe";

std::string own_directory() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path, length);
  return text.substr(0, text.find_last_of("\\/") + 1);
}

// cmd.exe drops the first and the last quote of a command line that starts with one.
std::string shell_command(const std::string& command) { return "\"" + command + "\""; }

// std::system hands back the program's exit code as it is.
int exit_code_of(int status) { return status; }

#else

constexpr const char* kExecutableSuffix = "";

std::string own_directory() {
  char path[4096] = {};
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string text(path, length > 0 ? static_cast<std::size_t>(length) : 0);
  return text.substr(0, text.find_last_of('/') + 1);
}

std::string shell_command(const std::string& command) { return command; }

// A child that died of a signal reports 128 + the signal, as shells do.
int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

#endif

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

ChildResult run_child(const std::string& program, const std::string& argument) {
  const std::string directory = own_directory();
  const std::string output_path = directory + program + "." + argument + ".out";
  const std::string command = "\"" + directory + program + kExecutableSuffix + "\" " + argument +
                              " > \"" + output_path + "\" 2>&1";
  const int status = std::system(shell_command(command).c_str());
  return {exit_code_of(status), read_file(output_path)};
}

}  // namespace quillmark::testing
