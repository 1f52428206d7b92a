// Path text: joining, comparing, folders and absolute paths; and trimming.
#include "support/paths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/text.h"
#include "fixtures.h"

namespace {

TEST(Join, AddsExactlyOneSeparatorAndKeepsTheDirectorysOwn) {
  EXPECT_EQ(Join(L"C:\\Pictures", L"a.png"), L"C:\\Pictures\\a.png");
  EXPECT_EQ(Join(L"C:\\Pictures\\", L"a.png"), L"C:\\Pictures\\a.png");
  EXPECT_EQ(Join(L"C:/x/", L"a.png"), L"C:/x/a.png");
  EXPECT_EQ(Join(L"", L"a.png"), L"a.png");
  EXPECT_EQ(Join(L"C:\\d", L"\\rooted"), L"C:\\d\\\\rooted");
}

TEST(SamePath, IgnoresCaseTrailingSeparatorsAndTheLongPathPrefix) {
  EXPECT_TRUE(SamePath(L"C:\\Users\\A\\Pictures\\X.PNG", L"c:\\users\\a\\pictures\\x.png\\"));
  EXPECT_TRUE(SamePath(L"\\\\?\\C:\\Users\\A\\x.png", L"C:\\Users\\A\\x.png"));
  EXPECT_TRUE(SamePath(L"C:\\图片\\A.png", L"c:\\图片\\a.png/"));
  EXPECT_TRUE(SamePath(L"\\", L"//"));
}

TEST(SamePath, ComparesTextOnly) {
  EXPECT_FALSE(SamePath(L"C:/x.png", L"C:\\x.png"));
  EXPECT_FALSE(SamePath(L"", L""));
  EXPECT_FALSE(SamePath(L"C:\\x.png", L""));
  EXPECT_FALSE(SamePath(L"C:\\a\\.\\x.png", L"C:\\a\\x.png"));
  EXPECT_FALSE(SamePath(L"C:\\x.png", L"C:\\x.pn"));
}

TEST(FolderOf, IsTheTextBeforeTheLastBackslashOrWhatTheCallerNames) {
  EXPECT_EQ(FolderOf(L"C:\\Tools\\wp.exe", L"."), L"C:\\Tools");
  EXPECT_EQ(FolderOf(L"C:\\wp.exe", L"."), L"C:");
  EXPECT_EQ(FolderOf(L"C:\\图片\\sub\\", L"."), L"C:\\图片\\sub");
  EXPECT_EQ(FolderOf(L"wp.exe", L"."), L".");
  EXPECT_EQ(FolderOf(L"wp.exe", L"wp.exe"), L"wp.exe");
  EXPECT_EQ(FolderOf(L"", L"."), L".");
  // Only a backslash separates here, as in the executable paths the system reports.
  EXPECT_EQ(FolderOf(L"C:/Tools/wp.exe", L"."), L".");
}

TEST(TrimW, RemovesBlanksTabsCrAndLfAtBothEndsOnly) {
  EXPECT_EQ(TrimW(L" \t 1.7.0.0 \r\n"), L"1.7.0.0");
  EXPECT_EQ(TrimW(L" \t\r\n"), L"");
  EXPECT_EQ(TrimW(L""), L"");
  EXPECT_EQ(TrimW(L"a b\tc"), L"a b\tc");
  EXPECT_EQ(TrimW(L"\u00A0x\u00A0"), L"\u00A0x\u00A0");
}

TEST(FullPath, ResolvesAgainstTheWorkingDirectoryAndLeavesAnEmptyPathAlone) {
  fixtures::ScratchDir dir;
  wchar_t previous[MAX_PATH] = {};
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
  std::wstring relative = FullPath(L"a.png");
  std::wstring dotted = FullPath(L"sub\\..\\b.png");
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(relative, Join(dir.Path(), L"a.png"));
  EXPECT_EQ(dotted, Join(dir.Path(), L"b.png"));
  EXPECT_EQ(FullPath(L""), L"");
  EXPECT_EQ(FullPath(L"C:\\x\\..\\y.png"), L"C:\\y.png");
}

}  // namespace
