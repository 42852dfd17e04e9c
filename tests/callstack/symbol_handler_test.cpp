#include "callstack/symbol_handler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fake_debug_help.h"

namespace {

using quillmark::testing::FakeDebugHelp;
using quillmark::testing::ScopedFakeDebugHelp;
using resmonitor::build_symbol_search_path;

const wchar_t kCacheKey12[] = L"Software\\Microsoft\\VisualStudio\\12.0\\Debugger";
const wchar_t kCacheKey14[] = L"Software\\Microsoft\\VisualStudio\\14.0\\Debugger";

std::wstring search_path() { return build_symbol_search_path().get(); }

TEST(SymbolSearchPath, FollowsTheExecutableEnvironmentAndRegistry) {
  ScopedFakeDebugHelp fake;
  fake->executable_path = L"C:\\App\\bin\\host.exe";
  fake->environment[L"_NT_SYMBOL_PATH"] = L"srv*C:\\Sym";
  fake->registry[kCacheKey14] = {quillmark::platform::kRegistryStringType, L"C:\\Cache"};
  EXPECT_EQ(search_path(),
            L"C:\\App\\bin\\;C:\\App\\pdb;C:\\App\\bin\\SymbolTable;srv*C:\\Sym;"
            L"C:\\Cache\\MicrosoftPublicSymbols;C:\\Cache;");
}

TEST(SymbolSearchPath, HasExactlyThreeEntriesWhenNothingIsSet) {
  ScopedFakeDebugHelp fake;
  fake->executable_path = L"D:/Tools//host.exe";
  EXPECT_EQ(search_path(), L"D:\\Tools\\;D:\\pdb;D:\\Tools\\SymbolTable;");
}

TEST(SymbolSearchPath, DropsTheDoubleDotRightAfterADriveRoot) {
  ScopedFakeDebugHelp fake;
  fake->executable_path = L"C:\\host.exe";
  EXPECT_EQ(search_path(), L"C:\\;C:\\pdb;C:\\SymbolTable;");
}

TEST(SymbolSearchPath, UsesRelativeEntriesWhenTheExecutablePathIsUnreadable) {
  ScopedFakeDebugHelp fake;
  EXPECT_EQ(search_path(), L";..\\pdb;SymbolTable;");
}

TEST(SymbolSearchPath, TakesEveryVariableThatIsSetAndNotEmpty) {
  ScopedFakeDebugHelp fake;
  fake->executable_path = L"C:\\host.exe";
  fake->environment[L"_NT_SYMBOL_PATH"] = L"";
  fake->environment[L"_NT_ALT_SYMBOL_PATH"] = L"E:\\alt";
  fake->environment[L"_NT_ALTERNATE_SYMBOL_PATH"] = L"F:\\alternate";
  EXPECT_EQ(search_path(), L"C:\\;C:\\pdb;C:\\SymbolTable;E:\\alt;F:\\alternate;");
}

TEST(SymbolSearchPath, RemovesEveryDoubleQuote) {
  ScopedFakeDebugHelp fake;
  fake->executable_path = L"C:\\host.exe";
  fake->environment[L"_NT_SYMBOL_PATH"] = L"\"C:\\My Symbols\";\"\"D:\\x";
  EXPECT_EQ(search_path(), L"C:\\;C:\\pdb;C:\\SymbolTable;C:\\My Symbols;D:\\x;");
}

TEST(SymbolSearchPath, AddsEachCacheOnceAndNotWhenTheEnvironmentNamesIt) {
  ScopedFakeDebugHelp fake;
  fake->executable_path = L"C:\\host.exe";
  fake->registry[kCacheKey12] = {quillmark::platform::kRegistryStringType, L"C:\\Cache"};
  fake->registry[kCacheKey14] = {quillmark::platform::kRegistryStringType, L"C:\\Cache"};
  EXPECT_EQ(search_path(),
            L"C:\\;C:\\pdb;C:\\SymbolTable;C:\\Cache\\MicrosoftPublicSymbols;C:\\Cache;");

  fake->environment[L"_NT_SYMBOL_PATH"] = L"srv*C:\\Cache*https://symbols";
  EXPECT_EQ(search_path(), L"C:\\;C:\\pdb;C:\\SymbolTable;srv*C:\\Cache*https://symbols;");
}

TEST(SymbolSearchPath, IgnoresCachesThatAreNotPlainTextOrEmpty) {
  ScopedFakeDebugHelp fake;
  fake->executable_path = L"C:\\host.exe";
  fake->registry[kCacheKey12] = {7, L"C:\\Multi"};
  fake->registry[kCacheKey14] = {quillmark::platform::kRegistryStringType, L""};
  EXPECT_EQ(search_path(), L"C:\\;C:\\pdb;C:\\SymbolTable;");
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
