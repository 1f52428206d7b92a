// Whole files and what the system says about them: reads, existence, version strings, the temporary
// folder and the program's own path.
#include "support/files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/file_version.h"
#include "support/handles.h"
#include "support/paths.h"
#include "support/system_folders.h"
#include "support/text.h"
#include "version.h"
#include "fixtures.h"

namespace {

class Files : public ::testing::Test {
 protected:
  fixtures::ScratchDir dir;

  std::wstring Write(const wchar_t* name, const std::string& bytes) {
    std::wstring path = dir.File(name);
    fixtures::WriteFileBytes(path, std::vector<unsigned char>(bytes.begin(), bytes.end()));
    return path;
  }
};

TEST_F(Files, ReadAllBytesReturnsTheWholeFile) {
  std::string content("\x89PNG\r\n\x1a\n\0data", 13);
  std::wstring path = Write(L"picture.png", content);
  Result<std::vector<unsigned char>> data = ReadAllBytes(path);
  ASSERT_TRUE(data.ok());
  EXPECT_EQ(std::string(data.value.begin(), data.value.end()), content);
}

TEST_F(Files, ReadAllBytesFailsForAnEmptyMissingOrLockedFile) {
  Result<std::vector<unsigned char>> empty = ReadAllBytes(Write(L"empty.png", ""));
  EXPECT_FALSE(empty.ok());
  EXPECT_TRUE(empty.value.empty());
  Result<std::vector<unsigned char>> missing = ReadAllBytes(dir.File(L"missing.png"));
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
  std::wstring locked = Write(L"locked.png", "abc");
  UniqueFile holder(
      CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder);
  Result<std::vector<unsigned char>> held = ReadAllBytes(locked);
  EXPECT_FALSE(held.ok());
  EXPECT_EQ(held.error(), static_cast<unsigned long>(ERROR_SHARING_VIOLATION));
}

TEST_F(Files, IsExistingFileIsTrueForFilesOnly) {
  EXPECT_TRUE(IsExistingFile(Write(L"f.txt", "x")));
  EXPECT_FALSE(IsExistingFile(dir.Path()));
  EXPECT_FALSE(IsExistingFile(dir.File(L"missing.txt")));
}

TEST(PeFileVersionString, FailsEmptyForAProgramWithoutVersionResource) {
  std::wstring self = ModulePath();
  ASSERT_FALSE(self.empty());
  Result<std::wstring> own = PeFileVersionString(self);
  EXPECT_FALSE(own.ok());
  EXPECT_EQ(own.value, L"");
  Result<std::wstring> missing = PeFileVersionString(L"C:\\no\\such\\file.exe");
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.value, L"");
}

TEST(PeFileVersionString, ReadsTheProgramsOwnFileVersion) {
  // The unit test programs are built into tests\ beside the build folder that holds OKAVU.exe.
  std::wstring self = ModulePath();
  std::wstring program = FullPath(Join(FolderOf(self, L"."), L"..\\OKAVU.exe"));
  ASSERT_TRUE(IsExistingFile(program)) << ToUtf8(program);
  Result<std::wstring> version = PeFileVersionString(program);
  EXPECT_TRUE(version.ok());
  EXPECT_EQ(version.value, kAppVersion);
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
  EXPECT_TRUE(SamePath(self.substr(self.size() - 15), L"\\files_test.exe")) << ToUtf8(self);
}

}  // namespace
