// Stacks of real registrations through the public API: a deep chain of host functions, a call
// inlined between two of them, two inlined calls one inside the other, and a function GCC
// specialised, each built without optimisation and with -O2. Every shown frame must name its
// function and the line of its call.
#include <gtest/gtest.h>

#include <quillmark/resource_monitor.h>

#include <string>
#include <vector>

#include "chain/trail.h"
#include "stack_lines.h"

namespace {

using namespace resmonitor;

// The path separator of the stack text: the system's own.
#if defined(_WIN32)
constexpr char kSeparator[] = "\\";
#else
constexpr char kSeparator[] = "/";
#endif

// The name of the function, qualified or not.
bool names(const Frame& frame, const std::string& function) {
  const std::string& name = frame.function;
  return name == function ||
         (name.size() > function.size() + 2 &&
          name.compare(name.size() - function.size() - 2, std::string::npos, "::" + function) == 0);
}

std::string link_name(int link) {
  return std::string("link_") + (link < 10 ? "0" : "") + std::to_string(link);
}

class RegistrationChain : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { SetMonitorInfoLevel(MonitorInfoStack); }
  void TearDown() override { SetMonitorInfoLevel(MonitorInfoNone); }

  bool optimised() const { return GetParam() == 2; }

  // Registers through `entry` and returns the stack text of the registration.
  std::string register_through(int (*entry)(chain::Trail&)) {
    trail_.resource = &resource_;
    EXPECT_EQ(entry(trail_), 0);
    ResMonitorInfo info;
    EXPECT_EQ(GetObjResource(trail_.name, trail_.resource, info), 0);
    RecordProperty("text", info.callStack);
    return info.callStack;
  }

  void expect_frame(const Frame& frame, const std::string& function, int line) {
    EXPECT_TRUE(names(frame, function)) << frame.function << ", expected " << function;
    EXPECT_EQ(frame.line, line) << function;
    // Included as "chain//links.inc": the doubled separator is shown once.
    EXPECT_NE(frame.file.find("chain" + separator() + "links.inc"), std::string::npos)
        << frame.file;
  }

  static std::string separator() { return kSeparator; }

  chain::Trail trail_;
  int resource_ = 0;
};

TEST_P(RegistrationChain, ShowsTenFramesFromTheRegisteringFunctionWithTheLinesOfTheCalls) {
  const std::string text = register_through(optimised() ? chain_o2::register_through_links
                                                        : chain_o0::register_through_links);
  SCOPED_TRACE(text);
  const std::vector<Frame> frames = frames_of(text);
  ASSERT_EQ(frames.size(), 10u);
  for (int link = 0; link < 10; ++link) {
    expect_frame(frames[static_cast<std::size_t>(link)], link_name(link), trail_.call_lines[link]);
  }
  EXPECT_EQ(frames[0].module.find("callstack_chain_tests"), 0u) << frames[0].module;
}

TEST_P(RegistrationChain, ShowsTheCloneOfAFunctionUnderItsOwnName) {
  const std::string text = register_through(optimised() ? chain_o2::register_through_clone
                                                        : chain_o0::register_through_clone);
  SCOPED_TRACE(text);
  const std::vector<Frame> frames = frames_of(text);
  ASSERT_GE(frames.size(), 2u);
  expect_frame(frames[0], "register_clone", trail_.call_lines[0]);
  expect_frame(frames[1], "clone_caller", trail_.call_lines[1]);
}

TEST_P(RegistrationChain, ShowsAnInlinedCallAsAFrameOfItsOwn) {
  const std::string text = register_through(optimised() ? chain_o2::register_through_inlined_step
                                                        : chain_o0::register_through_inlined_step);
  SCOPED_TRACE(text);
  const std::vector<Frame> frames = frames_of(text);
  ASSERT_GE(frames.size(), 3u);
  expect_frame(frames[0], "inline_inner", trail_.call_lines[0]);
  expect_frame(frames[1], "inline_step", trail_.call_lines[1]);
  expect_frame(frames[2], "inline_outer", trail_.call_lines[2]);
}

TEST_P(RegistrationChain, ShowsEachOfNestedInlinedCallsAsAFrameOfItsOwn) {
  const std::string text = register_through(optimised() ? chain_o2::register_through_nested_steps
                                                        : chain_o0::register_through_nested_steps);
  SCOPED_TRACE(text);
  const std::vector<Frame> frames = frames_of(text);
  ASSERT_GE(frames.size(), 4u);
  expect_frame(frames[0], "nested_inner", trail_.call_lines[0]);
  expect_frame(frames[1], "nested_step_in", trail_.call_lines[1]);
  expect_frame(frames[2], "nested_step_out", trail_.call_lines[2]);
  expect_frame(frames[3], "nested_outer", trail_.call_lines[3]);
}

TEST_P(RegistrationChain, ShowsALambdaCalledThroughStdFunctionAndItsCaller) {
  const std::string text = register_through(optimised() ? chain_o2::register_through_function
                                                        : chain_o0::register_through_function);
  SCOPED_TRACE(text);
  const std::vector<Frame> frames = frames_of(text);
  ASSERT_GE(frames.size(), 2u);
  expect_frame(frames[0], "operator()", trail_.call_lines[0]);
  // The invoker's frames (inlined into each other or not) come between.
  std::size_t caller = 1;
  while (caller < frames.size() && !names(frames[caller], "function_caller")) ++caller;
  ASSERT_LT(caller, frames.size());
  expect_frame(frames[caller], "function_caller", trail_.call_lines[1]);
}

INSTANTIATE_TEST_SUITE_P(Builds, RegistrationChain, ::testing::Values(0, 2),
                         [](const auto& build) { return "O" + std::to_string(build.param); });

}  // namespace
