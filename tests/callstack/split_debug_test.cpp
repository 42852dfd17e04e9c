// A module whose debug information lies only in the "SymbolTable" folder beside the program is
// still resolved to its source lines: the symbol search path leads the handler there.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "callstack/call_stack.h"
#include "callstack/cstack_info.h"
#include "callstack/describe_stack.h"
#include "callstack/describe_stack_testing.h"
#include "callstack/symbol_handler.h"
#include "split_debug_lib.h"

namespace {

struct Registration {
  resmonitor::CStackInfo* info;
  void* ptr;
};

__attribute__((noinline)) void registry_add(resmonitor::CStackInfo& info, void* ptr) {
  resmonitor::record_stack(info, ptr, "Texture", StackContext{QUILLMARK_RETURN_ADDRESS()});
  asm volatile("" ::: "memory");
}

// Recorded frame 0; frame 1 is the library's inner function, frame 2 its outer one.
__attribute__((noinline)) void add_resource(void* argument) {
  auto* registration = static_cast<Registration*>(argument);
  registry_add(*registration->info, registration->ptr);
  asm volatile("" ::: "memory");
}

TEST(SplitDebugInfo, IsFoundInTheSymbolTableFolderBesideTheProgram) {
  resmonitor::stack_testing::forget_loaded_modules();
  auto info = std::make_shared<resmonitor::CStackInfo>();
  resmonitor::init_symbol_handler(*info);
  int texture = 0;
  Registration registration{info.get(), &texture};
  split_debug_outer(add_resource, &registration);

  const std::string text = resmonitor::describe_stack(*info, &texture);
  const std::string first_frame = text.substr(text.find('\n') + 1);
  SCOPED_TRACE(text);
  EXPECT_EQ(first_frame.rfind("    ", 0), 0u);
  EXPECT_NE(first_frame.find("split_debug_lib.cpp ("), std::string::npos);
  EXPECT_NE(first_frame.find("libcallstack_split_debug.so!split_debug_outer()"), std::string::npos);
  const int call_line = split_debug_outer_call_line();
  bool names_call_line = false;
  for (int line = call_line; line <= call_line + 2; ++line) {
    names_call_line |=
        first_frame.find(" (" + std::to_string(line) + "): ") < first_frame.find('\n');
  }
  EXPECT_TRUE(names_call_line) << "expected line " << call_line;
}

}  // namespace
