#include "callstack/symbol_handler.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "fake_debug_help.h"

namespace {

using quillmark::testing::FakeDebugHelp;
using quillmark::testing::ScopedFakeDebugHelp;
using resmonitor::build_symbol_search_path;

constexpr std::uint32_t kText = quillmark::platform::kRegistryStringType;

// What the system answers, and the path built from it. The three first entries come from the
// executable's folder; quotes go, empty variables and non-text or empty caches are skipped,
// and a cache the path already names is not added again.
struct SearchPathCase {
  std::optional<std::wstring> executable;
  std::map<std::wstring, std::wstring> environment;
  std::map<unsigned, FakeDebugHelp::RegistryValue> caches;  // by debugger version
  std::wstring expected;
};

const SearchPathCase kSearchPathCases[] = {
    {L"C:\\App\\bin\\host.exe",
     {{L"_NT_SYMBOL_PATH", L"srv*C:\\Sym"}},
     {{14, {kText, L"C:\\Cache"}}},
     L"C:\\App\\bin\\;C:\\App\\pdb;C:\\App\\bin\\SymbolTable;srv*C:\\Sym;"
     L"C:\\Cache\\MicrosoftPublicSymbols;C:\\Cache;"},
    {L"D:/Tools//host.exe", {}, {}, L"D:\\Tools\\;D:\\pdb;D:\\Tools\\SymbolTable;"},
    {L"C:\\host.exe", {}, {}, L"C:\\;C:\\pdb;C:\\SymbolTable;"},
    {std::nullopt, {}, {}, L";..\\pdb;SymbolTable;"},
    {L"C:\\host.exe",
     {{L"_NT_SYMBOL_PATH", L""},
      {L"_NT_ALT_SYMBOL_PATH", L"E:\\alt"},
      {L"_NT_ALTERNATE_SYMBOL_PATH", L"F:\\alternate"}},
     {},
     L"C:\\;C:\\pdb;C:\\SymbolTable;E:\\alt;F:\\alternate;"},
    {L"C:\\host.exe",
     {{L"_NT_SYMBOL_PATH", L"\"C:\\My Symbols\";\"\"D:\\x"}},
     {},
     L"C:\\;C:\\pdb;C:\\SymbolTable;C:\\My Symbols;D:\\x;"},
    {L"C:\\host.exe",
     {},
     {{12, {kText, L"C:\\Cache"}}, {14, {kText, L"C:\\Cache"}}},
     L"C:\\;C:\\pdb;C:\\SymbolTable;C:\\Cache\\MicrosoftPublicSymbols;C:\\Cache;"},
    {L"C:\\host.exe",
     {{L"_NT_SYMBOL_PATH", L"srv*C:\\Cache*https://symbols"}},
     {{12, {kText, L"C:\\Cache"}}},
     L"C:\\;C:\\pdb;C:\\SymbolTable;srv*C:\\Cache*https://symbols;"},
    {L"C:\\host.exe",
     {},
     {{12, {7, L"C:\\Multi"}}, {14, {kText, L""}}},
     L"C:\\;C:\\pdb;C:\\SymbolTable;"},
};

TEST(SymbolSearchPath, FollowsTheExecutableEnvironmentAndRegistry) {
  for (const SearchPathCase& test : kSearchPathCases) {
    ScopedFakeDebugHelp fake;
    fake->executable_path = test.executable;
    fake->environment = test.environment;
    for (const auto& [version, value] : test.caches) {
      fake->registry[L"Software\\Microsoft\\VisualStudio\\" + std::to_wstring(version) +
                     L".0\\Debugger"] = value;
    }
    EXPECT_EQ(std::wstring(build_symbol_search_path().get()), test.expected);
  }
}

TEST(SymbolHandler, StartsOnceWithTheCurrentProcessAndTheOptions) {
  ScopedFakeDebugHelp fake;
  fake->executable_path = L"C:\\host.exe";
  resmonitor::CStackInfo info;
  EXPECT_EQ(info.process, nullptr);
  resmonitor::init_symbol_handler(info);
  resmonitor::init_symbol_handler(info);
  EXPECT_EQ(info.process, FakeDebugHelp::kProcess);
  EXPECT_TRUE(info.symbols_ready);
  EXPECT_EQ(fake->options_set, (std::vector<std::uint32_t>{0x80000016u}));
  EXPECT_EQ(fake->initialized_paths, (std::vector<std::wstring>{L"C:\\;C:\\pdb;C:\\SymbolTable;"}));
  EXPECT_TRUE(fake->debug_texts.empty());
}

TEST(SymbolHandler, WarnsWhenTheHandlerRefusesAndIsReadyAnyway) {
  ScopedFakeDebugHelp fake;
  fake->initialize_succeeds = false;
  fake->error_code = 87;
  resmonitor::CStackInfo info;
  ::testing::internal::CaptureStdout();
  resmonitor::init_symbol_handler(info);
  const std::string printed = ::testing::internal::GetCapturedStdout();

  const char expected[] =
      "WARNING: Quillmark: The symbol handler failed to initialize (error=87).\n"
      "    File and function names will probably not be available in call stacks.\n";
  EXPECT_EQ(printed, expected);
  ASSERT_EQ(fake->debug_texts.size(), 1u);
  EXPECT_EQ(fake->debug_texts[0],
            L"WARNING: Quillmark: The symbol handler failed to initialize (error=87).\n"
            L"    File and function names will probably not be available in call stacks.\n");
  EXPECT_TRUE(info.symbols_ready);

  // Every new record tries again, and warns again.
  resmonitor::CStackInfo second;
  ::testing::internal::CaptureStdout();
  resmonitor::init_symbol_handler(second);
  EXPECT_FALSE(::testing::internal::GetCapturedStdout().empty());
  EXPECT_EQ(fake->initialized_paths.size(), 2u);
}

TEST(ReportMessage, WritesUpTo511CharactersAndDropsLongerOnes) {
  ScopedFakeDebugHelp fake;
  const std::wstring fits(511, L'x');
  const std::wstring too_long(512, L'y');

  ::testing::internal::CaptureStdout();
  resmonitor::report_message(L"%ls", fits.c_str());
  resmonitor::report_message(L"%ls", too_long.c_str());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string(511, 'x'));
  EXPECT_EQ(fake->debug_texts, (std::vector<std::wstring>{fits}));
}

TEST(ReportMessage, DropsAMessageTheLocaleCannotEncode) {
  ScopedFakeDebugHelp fake;
  ::testing::internal::CaptureStdout();
  // The C locale has no multibyte form of this character.
  resmonitor::report_message(L"snow \u2603 %d", 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(fake->debug_texts.empty());
}

}  // namespace
