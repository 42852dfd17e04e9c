// Records a real stack through a chain of functions and reads it back through the operating
// system's unwinder and symbol handler.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "callstack/call_stack.h"
#include "callstack/cstack_info.h"
#include "callstack/describe_stack.h"
#include "callstack/describe_stack_testing.h"
#include "callstack/symbol_handler.h"

namespace stack_chain {

// Keeps a call from becoming a jump, so each function keeps its frame.
#define KEEP_FRAME() asm volatile("" ::: "memory")

// Stands for the registry's add: records the stack from its own return address, so the stack
// begins at the frame of its caller.
__attribute__((noinline)) void registry_add(resmonitor::CStackInfo& info, void* ptr) {
  resmonitor::record_stack(info, ptr, "Texture", StackContext{QUILLMARK_RETURN_ADDRESS()});
  KEEP_FRAME();
}

// Stands for the exported registration function (recorded frame 0, never shown).
__attribute__((noinline)) void add_resource_export(resmonitor::CStackInfo& info, void* ptr) {
  registry_add(info, ptr);
  KEEP_FRAME();
}

// Stands for the host code that registers (recorded frame 1, never shown).
__attribute__((noinline)) void host_register(resmonitor::CStackInfo& info, void* ptr) {
  add_resource_export(info, ptr);
  KEEP_FRAME();
}

// The first frames shown.
__attribute__((noinline)) void host_caller(resmonitor::CStackInfo& info, void* ptr) {
  host_register(info, ptr);
  KEEP_FRAME();
}

__attribute__((noinline)) void host_outer(resmonitor::CStackInfo& info, void* ptr) {
  host_caller(info, ptr);
  KEEP_FRAME();
}

}  // namespace stack_chain

namespace {

TEST(RealCallStack, ThreadsRecordAndDescribeOneGroupTogether) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 40;
  auto info = std::make_shared<resmonitor::CStackInfo>();
  resmonitor::init_symbol_handler(*info);
  std::vector<int> resources(kThreads * kPerThread);
  std::mutex registry_mutex;  // what the resource monitor holds around every description
  std::vector<std::string> texts(resources.size());

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t * kPerThread; i < (t + 1) * kPerThread; ++i) {
        stack_chain::host_outer(*info, &resources[i]);
        // Describe an earlier registration of this thread while the others keep recording.
        const int earlier = t * kPerThread + (i - t * kPerThread) / 2;
        std::lock_guard<std::mutex> lock(registry_mutex);
        texts[earlier] = resmonitor::describe_stack(*info, &resources[earlier]);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(info->stacks.size(), resources.size());
  for (std::size_t i = 0; i < resources.size(); ++i) {
    if (texts[i].empty()) continue;
    EXPECT_EQ(texts[i].rfind("Frame Texture[", 0), 0u) << texts[i];
    EXPECT_NE(texts[i].find("host_caller()"), std::string::npos) << texts[i];
  }
}

TEST(RealCallStack, ShowsTheOutermostFramesWithoutSymbolVersions) {
  auto info = std::make_shared<resmonitor::CStackInfo>();
  resmonitor::init_symbol_handler(*info);
  int resource = 0;
  {
    std::lock_guard<quillmark::platform::ShortLock> lock(info->stacks_mutex);
    std::unique_ptr<CallStack> stack(create_fast_call_stack());
    stack->bind_symbols(&info->symbol_lock, info->process);
    StackContext context{0};
    stack->capture(52, 0, context);  // deep enough to reach the process's entry
    auto& entry = info->stacks[&resource];
    entry.object_name = "Deep";
    entry.stack = stack.release();
  }
  const std::string text = resmonitor::describe_stack(*info, &resource);
  RecordProperty("text", text);
  SCOPED_TRACE(text);
  EXPECT_EQ(text.find('@'), std::string::npos);
  EXPECT_EQ(text.find("(Module name unavailable)"), std::string::npos);
}

}  // namespace
