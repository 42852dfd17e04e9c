// Names and lines of frames that are hard to read back, on Linux: a file name relative to its
// unit's compilation directory, the cold part of a function, the call's line among several rows
// at one address, a lambda called through std::function, a symbol the demangler cannot read, and
// a registration from a signal handler. Registered through the public API; each frame is checked
// against what gdb and eu-addr2line show for the same address.
#include <gtest/gtest.h>
#include <quillmark/resource_monitor.h>

#include <csetjmp>
#include <csignal>
#include <string>
#include <vector>

#include "names/frame_lines_lib.h"
#include "stack_lines.h"

namespace {

using namespace resmonitor;

int resource = 0;
const char kName[] = "FrameLines";

__attribute__((noinline)) void register_resource() {
  AddResource(kName, &resource);
  asm volatile("" ::: "memory");
}

class FrameLines : public ::testing::Test {
 protected:
  void SetUp() override { SetMonitorInfoLevel(MonitorInfoStack); }
  void TearDown() override {
    RemoveResource(kName, &resource);
    SetMonitorInfoLevel(MonitorInfoNone);
  }

  // The frames of the registration that the last call made.
  std::vector<Frame> registered_frames() {
    ResMonitorInfo info;
    EXPECT_EQ(GetObjResource(kName, &resource, info), 0);
    RecordProperty("text", info.callStack);
    text_ = info.callStack;
    return frames_of(info.callStack);
  }

  // The frame that called register_resource() from the sample library.
  Frame sample_frame() {
    const std::vector<Frame> frames = registered_frames();
    EXPECT_GE(frames.size(), 2u) << text_;
    return frames.size() >= 2 ? frames[1] : Frame();
  }

  std::string text_;
  int line_ = 0;
};

// The sample's file is recorded as "sample/names/frame_lines_lib.cpp" in the build folder.
void expect_sample_file(const Frame& frame) {
  const std::string tail = "/sample/names/frame_lines_lib.cpp";
  EXPECT_EQ(frame.file.front(), '/') << frame.file;
  EXPECT_EQ(frame.file.find(SAMPLE_COMPILATION_DIRECTORY), 0u) << frame.file;
  EXPECT_EQ(frame.file.compare(frame.file.size() - tail.size(), tail.size(), tail), 0)
      << frame.file;
}

TEST_F(FrameLines, JoinRelativeFilesToTheCompilationDirectoryAndKeepTheLinesOfColdParts) {
  frame_lines::run_cold(&register_resource, 42, line_);
  const Frame frame = sample_frame();
  SCOPED_TRACE(text_);
  EXPECT_EQ(frame.function, "frame_lines::run_cold");
  EXPECT_EQ(frame.line, line_);
  expect_sample_file(frame);
}

// GCC gives the instruction that enters a function, or an inlined one, a statement row with the
// opening line and a row of the body at the same address: the call's line is the body's where it
// follows, the statement's where the other row goes back to the opening line (gdb takes the last
// statement, so it shows the opening line in the first case).
TEST_F(FrameLines, ShowTheLineOfTheCallAmongRowsAtOneAddress) {
  line_ = frame_lines::run_first_statement(&register_resource);
  Frame frame = sample_frame();
  EXPECT_EQ(frame.function, "frame_lines::run_first_statement") << text_;
  EXPECT_EQ(frame.line, line_) << text_;

  // The lambda is inlined into apply<>(): its frame comes first.
  RemoveResource(kName, &resource);
  frame_lines::run_generic_lambda(&register_resource, line_);
  frame = sample_frame();
  EXPECT_NE(frame.function.find("operator()"), std::string::npos) << text_;
  EXPECT_EQ(frame.line, line_) << text_;
}

TEST_F(FrameLines, QualifyInlinedFunctionsWithoutLinkageNameByTheirScopes) {
  frame_lines::run_through_function(&register_resource, line_);
  const std::vector<Frame> frames = registered_frames();
  SCOPED_TRACE(text_);
  bool handler_shown = false;
  for (const Frame& frame : frames) {
    if (frame.function.find("_M_invoke") == std::string::npos) continue;
    handler_shown = true;
    EXPECT_EQ(frame.function.rfind("std::_Function_handler<", 0), 0u) << frame.function;
    EXPECT_NE(frame.function.find("frame_lines::(anonymous namespace)::call_through_function"),
              std::string::npos)
        << frame.function;
  }
  EXPECT_TRUE(handler_shown);
}

TEST_F(FrameLines, ShowTheDwarfNameOfASymbolTheDemanglerCannotRead) {
  frame_lines::run_unreadable(&register_resource, line_);
  const Frame frame = sample_frame();
  EXPECT_EQ(frame.function, "frame_lines::run_unreadable") << text_;
  EXPECT_EQ(frame.line, line_) << text_;
}

// The kernel makes a signal handler return into the C library's trampoline (__restore_rt). That
// frame and the one the signal interrupted follow no call: each is looked up at its own address.
sigjmp_buf signal_escape;
constexpr int kTrapLine = __LINE__ + 6;

// The address before the trap belongs to the function's opening line (without optimisation) or
// to another function (with it).
__attribute__((noinline)) void trap_here() {
  asm volatile("" ::: "memory");
  __builtin_trap();
}

__attribute__((noinline)) void register_from_handler(int) {
  register_resource();
  siglongjmp(signal_escape, 1);
}

TEST_F(FrameLines, ShowTheSignalTrampolineAndTheInterruptedInstruction) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer reports any allocation inside a signal handler";
#endif
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = &register_from_handler;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGILL, &action, &previous), 0);
  if (sigsetjmp(signal_escape, 1) == 0) trap_here();
  sigaction(SIGILL, &previous, nullptr);
  const std::vector<Frame> frames = registered_frames();
  SCOPED_TRACE(text_);
  ASSERT_GE(frames.size(), 4u);
  EXPECT_EQ(frames[1].function, "(anonymous namespace)::register_from_handler");
  EXPECT_EQ(frames[2].module, "libc.so.6");
  EXPECT_EQ(frames[2].function, "__restore_rt");
  EXPECT_EQ(frames[3].function, "(anonymous namespace)::trap_here");
  EXPECT_EQ(frames[3].line, kTrapLine);
}

}  // namespace
