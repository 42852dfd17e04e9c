#include "callstack/describe_stack.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "callstack/describe_stack_testing.h"
#include "callstack/symbol_handler.h"
#include "fake_debug_help.h"

namespace {

using quillmark::testing::FakeDebugHelp;
using quillmark::testing::ScopedFakeDebugHelp;

constexpr std::uint64_t kHostBase = 0x400000;
constexpr std::uint64_t kLibBase = 0x7000000;

// A symbol group with one recorded stack for `resource`, started against the fake.
class DescribeStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resmonitor::stack_testing::forget_loaded_modules();
    fake_->module_files[kHostBase] = {0x10000, L"C:\\App\\bin\\host.exe"};
    fake_->module_files[kLibBase] = {0x10000, L"C:\\App\\bin\\quillmark.dll"};
    fake_->modules = {{L"host", kHostBase, 0x10000},
                      {L"C:\\App\\bin\\quillmark.dll", kLibBase, 0x10000}};
    resmonitor::init_symbol_handler(*info_);
  }

  // Records `frames` for the resource; the first two are never shown.
  void record(std::vector<std::uint64_t> frames, const std::string& name = "Texture") {
    std::unique_ptr<CallStack> stack(create_fast_call_stack());
    stack->bind_symbols(&info_->symbol_lock, info_->process);
    for (std::uint64_t pc : frames) stack->push_frame(pc);
    auto& entry = info_->stacks[resource()];
    delete entry.stack;
    entry.stack = stack.release();
    entry.object_name = name;
  }

  std::string describe() { return resmonitor::describe_stack(*info_, resource()); }

  std::string header(const std::string& name = "Texture") {
    char text[256];
    std::snprintf(text, sizeof text, "Frame %s[%016llX]\n", name.c_str(),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(resource())));
    return text;
  }

  void* resource() { return &resource_; }

  ScopedFakeDebugHelp fake_;
  std::shared_ptr<resmonitor::CStackInfo> info_ = std::make_shared<resmonitor::CStackInfo>();
  int resource_ = 0;
};

// Frames are return addresses; the fake answers for the address before each, inside the call.
constexpr std::uint64_t returning_to(std::uint64_t call) { return call + 1; }

TEST_F(DescribeStackTest, WritesTheFourFrameFormats) {
  fake_->symbols[kHostBase + 0x10] = {"App::run", 0x3F};
  fake_->lines[kHostBase + 0x10] = {"C:\\src\\main.cpp", 42, 0x1B};
  fake_->symbols[kHostBase + 0x20] = {"App::start", 0x8};
  fake_->inline_sites[kHostBase + 0x20] = {
      {"App::prepare"}, {{"C:\\src\\app.h", 12, 0x3}, {"C:\\src\\main.cpp", 7, 0x9}}};
  fake_->symbols[kHostBase + 0x30] = {"main", 0x29};
  record({1, 2, returning_to(kHostBase + 0x10), returning_to(kHostBase + 0x20),
          returning_to(kHostBase + 0x30), 0x400040});

  EXPECT_EQ(describe(), header() +
                            "    C:\\src\\main.cpp (42): host.exe!App::run() + 0x1C bytes\n"
                            "    C:\\src\\app.h (12): host.exe!App::prepare() + 0x4 bytes\n"
                            "    C:\\src\\main.cpp (7): host.exe!App::start()\n"
                            "    host.exe!main() + 0x2A bytes\n"
                            "    host.exe!0x0000000000400040()\n");
  // Every look-up was made inside the call, none at the return address.
  EXPECT_EQ(fake_->symbols.count(kHostBase + 0x11), 0u);
}

// Without symbols a frame shows its address, and its module named after the last separator.
TEST_F(DescribeStackTest, ShowsAddressesAndModuleNamesWhenNothingElseIsKnown) {
  fake_->module_files[0x900000] = {0x100, L"/usr/lib/libhost.so"};
  fake_->module_files[0xB00000] = {0x100, L"C:\\mixed/dir\\name.dll"};
  record({1, 2, kLibBase + 0xABC, 0x900010, 0xB00010, 0xDEAD0000});
  EXPECT_EQ(describe(), header() +
                            "    quillmark.dll!0x0000000007000ABC()\n"
                            "    libhost.so!0x0000000000900010()\n"
                            "    name.dll!0x0000000000B00010()\n"
                            "    (Module name unavailable)!0x00000000DEAD0000()\n");
}

TEST_F(DescribeStackTest, ShowsAtMostEightInlinedCallsPerFrameKeepingTheOutermost) {
  FakeDebugHelp::InlineSite site;
  for (int depth = 0; depth < 10; ++depth) {
    site.functions.push_back("inlined" + std::to_string(depth));
    site.lines.push_back({"a.h", static_cast<std::uint32_t>(100 + depth), 0});
  }
  site.lines.push_back({"a.cpp", 7, 0});
  fake_->inline_sites[kHostBase + 0x10] = site;
  fake_->symbols[kHostBase + 0x10] = {"outer", 0x3};
  record({1, 2, returning_to(kHostBase + 0x10), returning_to(kHostBase + 0x10)});

  std::string frame;
  for (int depth = 2; depth < 10; ++depth) {
    frame += "    a.h (" + std::to_string(100 + depth) + "): host.exe!inlined" +
             std::to_string(depth) + "()\n";
  }
  frame += "    a.cpp (7): host.exe!outer()\n";
  // Two such frames: the text grows past its first estimate of one line per frame.
  EXPECT_EQ(describe(), header() + frame + frame);
}

TEST_F(DescribeStackTest, AnInlinedCallWithoutNameOrLineShowsTheReturnAddress) {
  // The handler counts one inlined call but knows neither its name nor any line.
  fake_->inline_sites[kHostBase + 0x10] = {{""}, {}};
  fake_->symbols[kHostBase + 0x10] = {"outer", 0x3};
  record({1, 2, returning_to(kHostBase + 0x10)});
  EXPECT_EQ(describe(), header() +
                            "    host.exe!0x0000000000400011()\n"
                            "    host.exe!outer() + 0x4 bytes\n");
}

// The first two frames are never shown, and a pointer without a stack gets a header without a
// name; neither loads any module. A name is cut to fit the header, never inside a UTF-8
// sequence, and the pointer kept.
TEST_F(DescribeStackTest, GivesTheHeaderAloneWithoutFramesToShow) {
  int unknown = 0;
  char expected[64];
  std::snprintf(expected, sizeof expected, "Frame [%016llX]\n",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&unknown)));
  EXPECT_EQ(resmonitor::describe_stack(*info_, &unknown), expected);
  EXPECT_TRUE(info_->stacks.find(&unknown) == info_->stacks.end());
  EXPECT_EQ(fake_->enumerations, 0);
  EXPECT_FALSE(resmonitor::stack_testing::loaded_modules());

  fake_->symbols[kHostBase + 0x10] = {"App::run", 0};
  record({kHostBase + 0x10, kHostBase + 0x10});
  EXPECT_EQ(describe(), header());
  record({kHostBase + 0x10});
  EXPECT_EQ(describe(), header());
  record({});
  EXPECT_EQ(describe(), header());

  record({}, std::string(102, 'n'));
  EXPECT_EQ(describe(), header(std::string(102, 'n')));
  record({}, std::string(150, 'n'));
  EXPECT_EQ(describe(), header(std::string(102, 'n')));
  // 101 bytes then a two-byte character.
  record({}, std::string(101, 'n') + "\xC3\xA9" + "tail");
  EXPECT_EQ(describe(), header(std::string(101, 'n')));
}

// A frame without a name may have met a passing failure (its module's symbols could not be
// loaded just then): the next query looks it up again instead of repeating the address.
TEST_F(DescribeStackTest, LooksUpAFrameWithoutANameAgain) {
  record({1, 2, returning_to(kHostBase + 0x10)});
  EXPECT_EQ(describe().find("App::run"), std::string::npos);
  fake_->symbols[kHostBase + 0x10] = {"App::run", 0};
  EXPECT_NE(describe().find("App::run"), std::string::npos);
}

// However many distinct frames are resolved, at most the bound (plus one stack's frames) stay
// kept, and a frame resolved again after being forgotten reads the same.
TEST_F(DescribeStackTest, KeepsABoundedNumberOfFrames) {
  constexpr std::size_t kBound = 8;
  constexpr int kFramesPerStack = 5;
  resmonitor::stack_testing::set_most_kept_frames(kBound);
  std::string first_text;
  for (int round = 0; round < 2; ++round) {
    for (int stack = 0; stack < 6; ++stack) {
      std::vector<std::uint64_t> frames = {1, 2};
      std::string expected = header();
      for (int i = 0; i < kFramesPerStack; ++i) {
        const std::uint64_t call = kHostBase + 0x100 * static_cast<std::uint64_t>(stack) + 0x10 * i;
        const std::string name = "f" + std::to_string(stack) + "_" + std::to_string(i);
        fake_->symbols[call] = {name, 0};
        frames.push_back(returning_to(call));
        expected +=
            "    host.exe!f" + std::to_string(stack) + "_" + std::to_string(i) + "() + 0x1 bytes\n";
      }
      record(frames);
      EXPECT_EQ(describe(), expected);
      EXPECT_LE(resmonitor::stack_testing::kept_frames(), kBound + kFramesPerStack);
    }
  }
  resmonitor::stack_testing::set_most_kept_frames(kMostKeptFrames);
}

TEST_F(DescribeStackTest, LoadsModuleSymbolsOncePerProcess) {
  record({1, 2, kHostBase + 0x10});
  describe();
  EXPECT_EQ(fake_->enumerations, 1);
  // The enumeration's path is normalised before loading; a module the handler knows is skipped.
  EXPECT_EQ(fake_->loaded_paths,
            (std::vector<std::wstring>{L"host", L"C:\\App\\bin\\quillmark.dll"}));
  EXPECT_TRUE(resmonitor::stack_testing::loaded_modules());

  // Another group, another stack: nothing is loaded again.
  auto other = std::make_shared<resmonitor::CStackInfo>();
  resmonitor::init_symbol_handler(*other);
  int another = 0;
  resmonitor::record_stack(*other, &another, "Mesh", StackContext{0});
  resmonitor::describe_stack(*other, &another);
  EXPECT_EQ(fake_->enumerations, 1);
  EXPECT_EQ(fake_->loaded_paths.size(), 2u);
}

TEST_F(DescribeStackTest, IgnoresModulesTheHandlerRefusesToLoad) {
  fake_->load_succeeds = false;
  record({1, 2, kHostBase + 0x10});
  EXPECT_EQ(describe(), header() + "    host.exe!0x0000000000400010()\n");
  EXPECT_EQ(fake_->loaded_paths.size(), 2u);
}

TEST_F(DescribeStackTest, CutsAnOverlongFrameLineToTheBuffer) {
  const std::string long_file = "C:\\" + std::string(400, 'f') + ".cpp";
  fake_->symbols[kHostBase + 0x10] = {std::string(256, 's'), 0};
  fake_->lines[kHostBase + 0x10] = {long_file, 1, 0};
  fake_->symbols[kHostBase + 0x20] = {"next", 0};
  record({1, 2, returning_to(kHostBase + 0x10), returning_to(kHostBase + 0x20)});

  const std::string text = describe();
  const std::string first_line =
      text.substr(header().size(), text.find('\n', header().size()) + 1 - header().size());
  EXPECT_EQ(first_line.size(), 511u);
  EXPECT_EQ(first_line.back(), '\n');
  EXPECT_EQ(text.substr(header().size() + 511), "    host.exe!next() + 0x1 bytes\n");
}

// Names and lines are cut where the handler's wide records cut them: in wide characters, never
// inside a UTF-8 sequence; ill-formed UTF-8 from debug information shows as U+FFFD.
TEST(FormatFrame, CutsInWideCharactersAndRepairsBadUtf8) {
  ScopedFakeDebugHelp fake;
  std::string umlauts;
  for (int i = 0; i < 300; ++i) umlauts += "\xC3\xBC";
  fake->symbols[0x1233] = {umlauts, 0};
  fake->symbols[0x2233] = {"bad\xFF\xC3name", 0};
  std::unique_ptr<CallStack> stack(create_fast_call_stack());
  std::uint64_t displacement = 0;
  EXPECT_EQ(stack->function_name(0x1234, &displacement), umlauts.substr(0, 512));
  EXPECT_EQ(stack->function_name(0x2234, &displacement), "bad\xEF\xBF\xBD\xEF\xBF\xBDname");

  quillmark::platform::ShownFunction line;
  line.has_line = true;
  line.file = umlauts + umlauts;
  line.line = 9;
  std::string out = "kept";
  const std::size_t length = stack->format_frame(0x10, &line, 0x1F, "f", out);
  EXPECT_EQ(out.substr(0, 4), "kept");
  EXPECT_EQ(length, 4 + 506 * 2 + 1) << "510 characters and the line feed";
  EXPECT_EQ(out.substr(4), "    " + (umlauts + umlauts).substr(0, 506 * 2) + "\n");
}

TEST(FunctionName, LooksUpTheCallAndFallsBackToTheReturnAddress) {
  ScopedFakeDebugHelp fake;
  fake->symbols[0x1233] = {"known", 0x10};
  std::unique_ptr<CallStack> stack(create_fast_call_stack());
  std::uint64_t displacement = 99;
  EXPECT_EQ(stack->function_name(0x1234, &displacement), "known");
  EXPECT_EQ(displacement, 0x11u) << "measured to the return address";
  EXPECT_EQ(stack->function_name(0xFEDCBA9876543210, &displacement), "0xFEDCBA9876543210");
  EXPECT_EQ(displacement, 0u);
}

}  // namespace
