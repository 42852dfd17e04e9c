// Runs a helper program of the build in a fresh process, for behaviour that only process exit
// or unloading shows.
#pragma once

#include <string>

namespace quillmark::testing {

struct ChildResult {
  int exit_code;
  std::string output;  // standard output and standard error together
};

// Runs `program` (a file name in the directory of the running test executable) with `argument`
// and waits for it to end.
ChildResult run_child(const std::string& program, const std::string& argument);

}  // namespace quillmark::testing
