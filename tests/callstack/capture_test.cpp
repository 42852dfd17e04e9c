#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "callstack/call_stack.h"
#include "callstack/cstack_info.h"
#include "fake_debug_help.h"

namespace {

using quillmark::testing::ScopedFakeDebugHelp;

std::vector<std::uint64_t> frames_of(const CallStack& stack) {
  std::vector<std::uint64_t> frames;
  for (std::uint32_t i = 0; i < stack.size(); ++i) frames.push_back(stack.frame(i));
  return frames;
}

// Recording starts at the last occurrence of the return address (at entry zero when it is
// missing), after `skip` entries; a zero entry ends both the search and the recording.
TEST(CallStackCapture, StartsAtTheReturnAddressAndStopsAtAZeroEntry) {
  struct Case {
    std::vector<std::uint64_t> back_trace;
    std::uint64_t return_address;
    std::uint32_t skip;
    std::vector<std::uint64_t> recorded;
  };
  const Case cases[] = {
      {{0x10, 0x77, 0x30, 0x77, 0x50, 0x60}, 0x77, 0, {0x77, 0x50, 0x60}},
      {{0x10, 0x20, 0x30}, 0x99, 0, {0x10, 0x20, 0x30}},
      {{0x10, 0x20, 0, 0x77, 0x50}, 0x77, 0, {0x10, 0x20}},
      {{0x10, 0x20, 0x77, 0x40, 0x50, 0x60}, 0x77, 2, {0x50, 0x60}},
  };
  for (const Case& test : cases) {
    ScopedFakeDebugHelp fake;
    fake->back_trace = test.back_trace;
    std::unique_ptr<CallStack> stack(create_fast_call_stack());
    StackContext context{test.return_address};
    stack->capture(4, test.skip, context);
    EXPECT_EQ(frames_of(*stack), test.recorded) << "return address " << test.return_address;
  }
}

TEST(CallStackCapture, RequestsTenMoreFramesThanTheDepthUpToSixtyTwo) {
  ScopedFakeDebugHelp fake;
  fake->back_trace = {0x10};
  for (std::uint32_t depth : {4u, 51u, 52u, 1000u}) {
    std::unique_ptr<CallStack> stack(create_fast_call_stack());
    StackContext context{0};
    stack->capture(depth, 0, context);
  }
  EXPECT_EQ(fake->capture_requests, (std::vector<std::uint32_t>{14, 61, 62, 62}));
}

TEST(CallStackStore, TheThirtyThirdFrameStartsASecondChunk) {
  std::unique_ptr<CallStack> stack(create_fast_call_stack());
  EXPECT_EQ(stack->size(), 0u);
  for (std::uint64_t pc = 1; pc <= 32; ++pc) stack->push_frame(pc);
  EXPECT_EQ(stack->capacity(), 32u);
  EXPECT_EQ(stack->first_chunk().next, nullptr);

  stack->push_frame(33);
  EXPECT_EQ(stack->capacity(), 64u);
  ASSERT_NE(stack->first_chunk().next, nullptr);
  EXPECT_EQ(stack->first_chunk().next->frames[0], 33u);
  EXPECT_EQ(stack->frame(32), 33u);

  for (std::uint64_t pc = 34; pc <= 70; ++pc) stack->push_frame(pc);
  EXPECT_EQ(stack->capacity(), 96u);
  EXPECT_EQ(stack->size(), 70u);
  for (std::uint32_t i = 0; i < 70; ++i) EXPECT_EQ(stack->frame(i), i + 1u);
}

TEST(RecordStack, StoresTheStackAndReplacesAnEarlierOne) {
  ScopedFakeDebugHelp fake;
  auto info = std::make_shared<resmonitor::CStackInfo>();
  int resource = 0;
  fake->back_trace = {0x10, 0x20, 0x30};
  resmonitor::record_stack(*info, &resource, "Texture", StackContext{0x20});
  ASSERT_EQ(info->stacks.size(), 1u);
  EXPECT_EQ(info->stacks[&resource].object_name, "Texture");
  EXPECT_EQ(frames_of(*info->stacks[&resource].stack), (std::vector<std::uint64_t>{0x20, 0x30}));
  EXPECT_EQ(fake->capture_requests, (std::vector<std::uint32_t>{14}));

  fake->back_trace = {0x40, 0x50};
  resmonitor::record_stack(*info, &resource, "Mesh", StackContext{0x40});
  ASSERT_EQ(info->stacks.size(), 1u);
  EXPECT_EQ(info->stacks[&resource].object_name, "Mesh");
  EXPECT_EQ(frames_of(*info->stacks[&resource].stack), (std::vector<std::uint64_t>{0x40, 0x50}));
}

}  // namespace
