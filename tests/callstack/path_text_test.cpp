#include "callstack/path_text.h"

#include <gtest/gtest.h>

#include <string>

#include "callstack/stack_text.h"
#include "platform/path_style.h"

namespace {

using resmonitor::normalize_stack_text;
using namespace resmonitor::path_text;

TEST(PathNormalize, TurnsSlashesIntoSingleBackslashes) {
  EXPECT_EQ(normalize(L"C:/App//bin\\\\host.exe"), L"C:\\App\\bin\\host.exe");
  EXPECT_EQ(normalize(L"a/b/"), L"a\\b\\");
  EXPECT_EQ(normalize(L""), L"");
}

TEST(PathNormalize, KeepsTheLeadingPairOfANetworkNameOnly) {
  EXPECT_EQ(normalize(L"\\\\server\\share\\\\x"), L"\\\\server\\share\\x");
  EXPECT_EQ(normalize(L"//server/share"), L"\\\\server\\share");
  EXPECT_EQ(normalize(L"\\\\\\x"), L"\\x");
  EXPECT_EQ(normalize(L"    a//b\\\\c"), L"    a\\b\\c");
}

TEST(PathNormalize, PrefixesLongAbsoluteDrivePaths) {
  const std::wstring long_path = L"C:\\" + std::wstring(245, L'x');  // 248 characters
  EXPECT_EQ(normalize(long_path), L"\\\\?\\" + long_path);
  const std::wstring shorter = L"C:\\" + std::wstring(244, L'x');
  EXPECT_EQ(normalize(shorter), shorter);
  EXPECT_EQ(normalize(L"\\\\?\\" + long_path), L"\\\\?\\" + long_path);
  // Relative or rootless drive paths never get the prefix.
  const std::wstring relative = std::wstring(300, L'x');
  EXPECT_EQ(normalize(relative), relative);
}

TEST(PathLexicallyNormal, RemovesDotsAndElementsBeforeDoubleDots) {
  EXPECT_EQ(lexically_normal(L"C:\\App\\bin\\..\\pdb"), L"C:\\App\\pdb");
  EXPECT_EQ(lexically_normal(L"C:\\..\\pdb"), L"C:\\pdb");
  EXPECT_EQ(lexically_normal(L"..\\pdb"), L"..\\pdb");
  EXPECT_EQ(lexically_normal(L"a\\.\\b\\.\\"), L"a\\b\\");
  EXPECT_EQ(lexically_normal(L"a\\b\\.."), L"a\\");
  EXPECT_EQ(lexically_normal(L"a\\.."), L".");
  EXPECT_EQ(lexically_normal(L"..\\..\\a"), L"..\\..\\a");
  EXPECT_EQ(lexically_normal(L"\\\\server\\share\\..\\x"), L"\\\\server\\x");
  EXPECT_EQ(lexically_normal(L""), L".");
}

TEST(PathRemoveFilename, KeepsTheSeparatorBeforeTheName) {
  EXPECT_EQ(remove_filename(L"C:\\App\\bin\\host.exe"), L"C:\\App\\bin\\");
  EXPECT_EQ(remove_filename(L"C:\\App\\bin\\"), L"C:\\App\\bin\\");
  EXPECT_EQ(remove_filename(L"C:\\host.exe"), L"C:\\");
  EXPECT_EQ(remove_filename(L"C:host.exe"), L"C:");
  EXPECT_EQ(remove_filename(L"host.exe"), L"");
  EXPECT_EQ(remove_filename(L""), L"");
}

TEST(TextConversion, MarksIllFormedInputWithTheReplacementCharacter) {
  EXPECT_EQ(to_utf8(L"caf\u00e9 \U0001F600"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  const wchar_t lone_surrogate[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
  EXPECT_EQ(to_utf8(lone_surrogate),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(from_utf8("a\xFF"
                      "b"),
            L"a\uFFFDb");
  EXPECT_EQ(from_utf8("\xF0\x9F\x98\x80"), L"\U0001F600");
}

TEST(PathNormalizePosix, CollapsesRunsOfSlashesAndKeepsBackslashes) {
  EXPECT_EQ(normalize_posix(L"/src//app///a.cpp"), L"/src/app/a.cpp");
  EXPECT_EQ(normalize_posix(L"../csu/libc-start.c"), L"../csu/libc-start.c");
  EXPECT_EQ(normalize_posix(L"a\\\\b/"), L"a\\\\b/");
  EXPECT_EQ(normalize_posix(L"//server/share//x"), L"//server/share/x");
  EXPECT_EQ(normalize_posix(L"///x"), L"/x");
  EXPECT_EQ(normalize_posix(L""), L"");
}

TEST(StackText, NormalisesSeparatorsInTheNativeFormAndTheEncoding) {
  const std::string text = "Frame T[01]\n    /src//a.cpp (3): m!ns::operator/()\n";
  if (quillmark::platform::native_path_style() == quillmark::platform::PathStyle::windows) {
    EXPECT_EQ(normalize_stack_text(text),
              "Frame T[01]\n    \\src\\a.cpp (3): m!ns::operator\\()\n");
  } else {
    EXPECT_EQ(normalize_stack_text(text), "Frame T[01]\n    /src/a.cpp (3): m!ns::operator/()\n");
  }
  EXPECT_EQ(normalize_stack_text("x\xC3"), "x\xEF\xBF\xBD");
  EXPECT_EQ(normalize_stack_text(""), "");
}

}  // namespace
