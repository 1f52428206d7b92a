// Staging: the skip rule, the in-place fall-back when no folder is known, and the re-check verdicts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/handles.h"
#include "wallpaper/staging.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes kPng = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 1, 2, 3, 4};

TEST(KeepExistingFile, OnlyTheSameSizeWithoutForce) {
  EXPECT_TRUE(KeepExistingFile(true, 1789643, 1789643, false));
  EXPECT_FALSE(KeepExistingFile(true, 1789643, 1789643, true));
  EXPECT_FALSE(KeepExistingFile(true, 1789642, 1789643, false));
  EXPECT_FALSE(KeepExistingFile(true, 1789644, 1789643, false));
  // A file that could not be opened or sized is rewritten, whatever its size looked like.
  EXPECT_FALSE(KeepExistingFile(false, 1789643, 1789643, false));
  // Sizes above 4 GiB are compared in full, not in their low 32 bits.
  EXPECT_FALSE(KeepExistingFile(true, 0x100000000ull + 12, 12, false));
}

TEST(StagedFileVerdict, CannotOpenComesFirst) { EXPECT_STREQ(StagedFileVerdict(false, kPng.data(), 16), L"无法打开"); }

TEST(StagedFileVerdict, CountedBytesDecideNotTheBuffer) {
  // The buffer holds a whole signature but the read reported fewer than 4 bytes.
  for (unsigned long count : {0ul, 1ul, 2ul, 3ul}) {
    EXPECT_STREQ(StagedFileVerdict(true, kPng.data(), count), kFormatTooShort) << count;
  }
  EXPECT_STREQ(StagedFileVerdict(true, kPng.data(), 4), kFormatPng);
  EXPECT_STREQ(StagedFileVerdict(true, kPng.data(), 16), kFormatPng);
  const unsigned char riff[16] = {'R', 'I', 'F', 'F'};
  EXPECT_STREQ(StagedFileVerdict(true, riff, 16), kFormatUnknown);
}

class StagingTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::wstring target = L"unchanged";

  // The file the desktop may show goes into target on success only.
  bool Keep(Result<std::wstring> staged) {
    if (staged) target = staged.value;
    return staged.ok();
  }
  bool Stage(const std::vector<unsigned char>& data, const std::wstring& path, bool force) {
    return Keep(StageBytes(data, path, force));
  }
  bool StageFor(const PictureSource& picture, const std::wstring& extractPath, bool force,
                const std::wstring& stageDir) {
    Result<TargetFile> staged = StagePicture(picture, extractPath, force, stageDir);
    if (!staged) return false;
    target = staged.value.path;
    ownFile = staged.value.ownFile;
    return true;
  }
  bool ownFile = false;  // of the last target StageFor gave
};

TEST_F(StagingTest, StageBytesWritesThenSkipsASameSizedFileUnlessForced) {
  std::wstring path = dir.File(L"OKAVU-wallpaper.png");
  ConsoleCapture console;
  ASSERT_TRUE(Stage(kPng, path, false));
  EXPECT_EQ(target, path);
  EXPECT_EQ(FileBytes(path), kPng);

  Bytes other = kPng;
  other[11] = 0x55;  // same size, other content: not rewritten without force
  ASSERT_TRUE(Stage(other, path, false));
  EXPECT_EQ(FileBytes(path), kPng);
  ASSERT_TRUE(Stage(other, path, true));
  EXPECT_EQ(FileBytes(path), other);
  Bytes longer = kPng;
  longer.push_back(9);
  ASSERT_TRUE(Stage(longer, path, false));
  EXPECT_EQ(FileBytes(path), longer);

  std::string p = U8(path);
  EXPECT_EQ(console.Out(), "[ OK  ] 图片已落盘：" + p +
                               "（12 字节）\n"
                               "[INFO ] 已存在同样大小的文件，跳过重写：" +
                               p +
                               "\n"
                               "[ OK  ] 图片已落盘：" +
                               p +
                               "（12 字节）\n"
                               "[ OK  ] 图片已落盘：" +
                               p + "（13 字节）\n");
  EXPECT_EQ(console.Err(), "");
}

TEST_F(StagingTest, StageBytesOfNothingCreatesAnEmptyFile) {
  std::wstring path = dir.File(L"empty.png");
  ASSERT_TRUE(Stage({}, path, false));
  EXPECT_TRUE(IsExistingFile(path));
  EXPECT_TRUE(FileBytes(path).empty());
}

TEST_F(StagingTest, StageBytesFailureIsReportedLoggedAndLeavesTargetAlone) {
  std::wstring path = dir.File(L"missing-folder\\x.png");
  LogWatch log;
  ConsoleCapture console;
  EXPECT_FALSE(Stage(kPng, path, false));
  EXPECT_EQ(target, L"unchanged");
  EXPECT_EQ(console.Err(), "[WARN ] 写入失败 (err=3)：" + U8(path) + "\n");
  EXPECT_EQ(log.NewLines(), std::vector<std::string>{"[ERROR] 写入墙纸文件失败 (err=3)：" + U8(path)});
}

TEST_F(StagingTest, StageBytesRefusesAFileHeldOpenByAnotherWriter) {
  std::wstring path = dir.File(L"held.png");
  WriteFileBytes(path, {1, 2});
  UniqueFile held(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  ConsoleCapture console;
  EXPECT_FALSE(Stage(kPng, path, false));
  EXPECT_EQ(console.Err(), "[WARN ] 写入失败 (err=32)：" + U8(path) + "\n");
}

TEST_F(StagingTest, NoPicturesFolderUsesTheSourceFileInPlace) {
  std::wstring source = dir.File(L"mine.png");
  WriteFileBytes(source, kPng);
  PictureSource picture{kPng, source, false};
  ConsoleCapture console;
  ownFile = true;
  ASSERT_TRUE(StageFor(picture, L"", false, L""));
  EXPECT_EQ(target, source);
  EXPECT_FALSE(ownFile) << "the user's own file, not the run's";
  EXPECT_EQ(console.Err(), "[WARN ] 取不到图片目录，改为原地使用源文件\n");
}

TEST_F(StagingTest, NoPicturesFolderAndAResourcePictureIsAFailure) {
  PictureSource picture{kPng, ResourceLabel(kPictureResourceName), true};
  ConsoleCapture console;
  EXPECT_FALSE(StageFor(picture, L"", false, L""));
  EXPECT_EQ(target, L"unchanged");
  EXPECT_EQ(console.Err(), "[WARN ] 取不到图片目录，改为原地使用源文件\n[ERROR] 没有可用的墙纸文件路径，无法继续\n");
}

TEST_F(StagingTest, InPlaceNeedsTheSourceFileStillThere) {
  PictureSource gone{kPng, dir.File(L"gone.png"), false};
  EXPECT_FALSE(StageFor(gone, L"", false, L""));
  CreateDirectoryW(dir.File(L"folder.png").c_str(), nullptr);
  PictureSource folder{kPng, dir.File(L"folder.png"), false};
  EXPECT_FALSE(StageFor(folder, L"", false, L""));
  EXPECT_EQ(target, L"unchanged");
}

TEST_F(StagingTest, StagedFileGoesIntoTheGivenFolder) {
  PictureSource picture{kPng, L"C:\\nowhere\\x.png", false};
  ASSERT_TRUE(StageFor(picture, L"", false, dir.Path() + L"\\"));
  EXPECT_EQ(target, dir.File(L"OKAVU-wallpaper.png"));
  EXPECT_EQ(FileBytes(target), kPng);
  EXPECT_TRUE(ownFile);
}

TEST_F(StagingTest, AnExtractFileIsTheRunsOwnAndThePicturesFolderIsNotUsed) {
  PictureSource picture{kPng, L"C:\\nowhere\\x.png", false};
  ConsoleCapture console;
  ASSERT_TRUE(StageFor(picture, dir.File(L"mine.png"), false, dir.File(L"pictures")));
  EXPECT_EQ(target, dir.File(L"mine.png"));
  EXPECT_TRUE(ownFile);
  // Kept because it has the picture's size: still the file the run chose, and so its own.
  ownFile = false;
  ASSERT_TRUE(StageFor(picture, dir.File(L"mine.png"), false, dir.File(L"pictures")));
  EXPECT_TRUE(ownFile);
  EXPECT_FALSE(IsExistingFile(dir.File(L"pictures\\OKAVU-wallpaper.png")));
}

TEST_F(StagingTest, VerifyPassesForAPictureAndSilentlyForAMissingTarget) {
  std::wstring path = dir.File(L"ok.png");
  WriteFileBytes(path, kPng);
  ConsoleCapture console;
  EXPECT_TRUE(VerifyStagedFile(path));
  EXPECT_TRUE(VerifyStagedFile(dir.File(L"absent.png")));
  EXPECT_TRUE(VerifyStagedFile(dir.Path()));
  EXPECT_EQ(console.Out(), "[ OK  ] 磁盘文件复查通过：" + U8(path) + "（PNG）\n");
  EXPECT_EQ(console.Err(), "");
}

TEST_F(StagingTest, VerifyRejectsTruncatedUnknownAndUnopenableFiles) {
  std::wstring truncated = dir.File(L"two.png");
  WriteFileBytes(truncated, {0x89, 'P'});
  std::wstring webp = dir.File(L"webp.png");
  WriteFileBytes(webp, {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'});
  std::wstring locked = dir.File(L"locked.png");
  WriteFileBytes(locked, kPng);
  UniqueFile held(CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  ConsoleCapture console;
  EXPECT_FALSE(VerifyStagedFile(truncated));
  EXPECT_FALSE(VerifyStagedFile(webp));
  EXPECT_FALSE(VerifyStagedFile(locked));
  EXPECT_EQ(console.Err(), "[ERROR] 磁盘上的目标文件不是有效位图：" + U8(truncated) +
                               "（数据太短）\n"
                               "[ERROR] 磁盘上的目标文件不是有效位图：" +
                               U8(webp) +
                               "（未知格式）\n"
                               "[ERROR] 磁盘上的目标文件不是有效位图：" +
                               U8(locked) + "（无法打开）\n");
}

TEST_F(StagingTest, VerifyReadsAFileThatAnotherWriterKeepsOpen) {
  // The re-check shares reading and writing, so a writer that allows reading does not fail it.
  std::wstring path = dir.File(L"shared.png");
  WriteFileBytes(path, kPng);
  UniqueFile writer(
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  EXPECT_TRUE(VerifyStagedFile(path));
}

}  // namespace
