// Path and file helpers: joining, comparing, folders, trimming, absolute paths, whole-file reads, version
// strings, the temporary folder and the program's own path.
#include "support/paths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/handles.h"
#include "version.h"
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

class Files : public ::testing::Test {
 protected:
  fixtures::ScratchDir dir;

  std::wstring Write(const wchar_t* name, const std::string& bytes) {
    std::wstring path = dir.File(name);
    fixtures::WriteFileBytes(path, std::vector<unsigned char>(bytes.begin(), bytes.end()));
    return path;
  }
};

TEST_F(Files, FullPathResolvesAgainstTheWorkingDirectoryAndLeavesAnEmptyPathAlone) {
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

TEST_F(Files, ReadAllBytesReturnsTheWholeFile) {
  std::string content("\x89PNG\r\n\x1a\n\0data", 13);
  std::wstring path = Write(L"picture.png", content);
  unsigned long long size = 99;
  std::unique_ptr<unsigned char[]> data = ReadAllBytes(path, size);
  ASSERT_TRUE(data);
  ASSERT_EQ(size, content.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get()), static_cast<size_t>(size)), content);
}

TEST_F(Files, ReadAllBytesFailsForAnEmptyMissingOrLockedFile) {
  unsigned long long size = 99;
  EXPECT_FALSE(ReadAllBytes(Write(L"empty.png", ""), size));
  EXPECT_EQ(size, 0u);
  size = 99;
  EXPECT_FALSE(ReadAllBytes(dir.File(L"missing.png"), size));
  EXPECT_EQ(size, 0u);
  std::wstring locked = Write(L"locked.png", "abc");
  UniqueFile holder(CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder);
  size = 99;
  EXPECT_FALSE(ReadAllBytes(locked, size));
  EXPECT_EQ(size, 0u);
}

TEST_F(Files, IsExistingFileIsTrueForFilesOnly) {
  EXPECT_TRUE(IsExistingFile(Write(L"f.txt", "x")));
  EXPECT_FALSE(IsExistingFile(dir.Path()));
  EXPECT_FALSE(IsExistingFile(dir.File(L"missing.txt")));
}

TEST(PeFileVersionString, IsFalseAndEmptyForAProgramWithoutVersionResource) {
  std::wstring version = L"stale";
  std::wstring self = ModulePath();
  ASSERT_FALSE(self.empty());
  EXPECT_FALSE(PeFileVersionString(self, version));
  EXPECT_EQ(version, L"");
  version = L"stale";
  EXPECT_FALSE(PeFileVersionString(L"C:\\no\\such\\file.exe", version));
  EXPECT_EQ(version, L"");
}

TEST(PeFileVersionString, ReadsTheProgramsOwnFileVersion) {
  // The unit test programs are built into tests\ beside the build folder that holds OKAVU.exe.
  std::wstring self = ModulePath();
  std::wstring program = FullPath(Join(FolderOf(self, L"."), L"..\\OKAVU.exe"));
  ASSERT_TRUE(IsExistingFile(program)) << ToUtf8(program);
  std::wstring version;
  EXPECT_TRUE(PeFileVersionString(program, version));
  EXPECT_EQ(version, kAppVersion);
}

TEST(TempFolder, IsAnExistingFolderWithItsTrailingBackslash) {
  const std::wstring temp = TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), L'\\') << ToUtf8(temp);
  const DWORD attributes = GetFileAttributesW(temp.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << ToUtf8(temp);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u) << ToUtf8(temp);
}

TEST(ModulePath, NamesThisProgram) {
  std::wstring self = ModulePath();
  ASSERT_GE(self.size(), 15u);
  EXPECT_TRUE(SamePath(self.substr(self.size() - 15), L"\\paths_test.exe")) << ToUtf8(self);
}

}  // namespace
