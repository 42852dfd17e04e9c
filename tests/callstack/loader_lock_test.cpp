// Stacks resolve while another thread is inside dlopen running a library constructor, which holds
// the dynamic loader's lock (as dlclose does while it runs our destructor and joins the check
// thread). A resolution that needed that lock would hang here; ctest's timeout turns the hang into
// a failure.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "callstack/cstack_info.h"
#include "callstack/describe_stack.h"
#include "callstack/symbol_handler.h"
#include "split_debug_lib.h"
#include "support/gate.h"

namespace {

// Where the loading thread waits inside the held library's constructor.
quillmark::testing::Gate gate;

struct Registration {
  resmonitor::CStackInfo* info;
  void* resource;
};

// Stands for the registry's add: records the stack from its own return address.
__attribute__((noinline)) void registry_add(Registration& registration) {
  resmonitor::record_stack(*registration.info, registration.resource, "Held",
                           StackContext{QUILLMARK_RETURN_ADDRESS()});
  asm volatile("" ::: "memory");
}

// Stands for the exported registration function; it and its caller are never shown.
__attribute__((noinline)) void add_resource_export(Registration& registration) {
  registry_add(registration);
  asm volatile("" ::: "memory");
}

// Registers from inside the split-debug library's frames, so the stack passes through a module
// no resolution has looked at yet.
__attribute__((noinline)) void register_inside_library(void* argument) {
  add_resource_export(*static_cast<Registration*>(argument));
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void register_through_library(Registration& registration) {
  split_debug_outer(register_inside_library, &registration);
  asm volatile("" ::: "memory");
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void hold_in_library_constructor() {
  gate.hold();
}

namespace {

TEST(LoaderLock, StacksResolveWhileALibraryConstructorRuns) {
  // Recorded first: capture may open the private unwinder, which needs the loader's lock.
  auto info = std::make_shared<resmonitor::CStackInfo>();
  resmonitor::init_symbol_handler(*info);
  int resource = 0;
  Registration registration{info.get(), &resource};
  register_through_library(registration);

  void* held_library = nullptr;
  std::thread loader([&] {
    held_library = dlopen(HELD_CONSTRUCTOR_LIB, RTLD_NOW | RTLD_LOCAL);
    gate.abandon();
  });
  if (!gate.wait_until_held()) {
    loader.join();
    FAIL() << "the library did not load: " << dlerror();
  }
  const std::string text = resmonitor::describe_stack(*info, &resource);

  gate.release();
  loader.join();
  ASSERT_NE(held_library, nullptr);
  dlclose(held_library);

  SCOPED_TRACE(text);
  EXPECT_NE(text.find("split_debug_outer"), std::string::npos);
  EXPECT_NE(text.find("register_through_library"), std::string::npos);
  EXPECT_NE(text.find("libcallstack_split_debug.so!"), std::string::npos);
}

}  // namespace
