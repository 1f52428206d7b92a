// Picture source: the sniffing table, the PNG dimension rule and the three sources of LoadPicture.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "wallpaper/picture_source.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

using Bytes = std::vector<unsigned char>;

std::wstring Sniff(const Bytes& bytes) { return SniffFormatBytes(bytes.data(), bytes.size()); }

// A PNG signature followed by a first chunk of the given type and two big-endian numbers.
Bytes PngHead(const char* chunkType, unsigned width, unsigned height) {
  Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13};
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(chunkType[i]));
  for (unsigned v : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<unsigned char>(v >> shift));
  }
  return b;
}

struct SniffCase {
  Bytes bytes;
  const wchar_t* format;
};

class SniffTable : public ::testing::TestWithParam<SniffCase> {};

TEST_P(SniffTable, FirstByteSelectsOneTest) { EXPECT_EQ(Sniff(GetParam().bytes), GetParam().format); }

INSTANTIATE_TEST_SUITE_P(
    Formats, SniffTable,
    ::testing::Values(SniffCase{{'B', 'M', 0, 0}, kFormatBmp}, SniffCase{{'B', 'M', 0xFF, 0x89, 1, 2}, kFormatBmp},
                      SniffCase{{'B', 'A', 'M', 0}, kFormatUnknown}, SniffCase{{0xFF, 0xD8, 0, 0}, kFormatJpeg},
                      SniffCase{{0xFF, 0xD9, 0xFF, 0xD8}, kFormatUnknown}, SniffCase{{0x89, 'P', 'N', 'G'}, kFormatPng},
                      SniffCase{{0x89, 'P', 'N', 'g'}, kFormatUnknown},
                      SniffCase{{0x88, 'P', 'N', 'G'}, kFormatUnknown}, SniffCase{{'G', 'I', 'F', 0}, kFormatGif},
                      SniffCase{{'G', 'I', 'f', '8'}, kFormatUnknown}, SniffCase{{'I', 'I', 0x2A, 0x00}, kFormatTiff},
                      SniffCase{{'I', 'I', 0x2A, 0xEE}, kFormatTiff}, SniffCase{{'I', 'I', 0x2B, 0x00}, kFormatUnknown},
                      SniffCase{{'M', 'M', 0x00, 0x2A}, kFormatTiff},
                      // Byte order marks must match the byte order that follows.
                      SniffCase{{'M', 'M', 0x2A, 0x00}, kFormatUnknown},
                      SniffCase{{'I', 'I', 0x00, 0x2A}, kFormatUnknown},
                      SniffCase{{'M', 'M', 0x00, 0x2B}, kFormatUnknown},
                      SniffCase{{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'}, kFormatUnknown},
                      SniffCase{{0, 0, 0, 0x1C, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c'}, kFormatUnknown},
                      SniffCase{{0, 0, 0, 0}, kFormatUnknown},
                      // Fewer than 4 bytes is too short even when the bytes present would match.
                      SniffCase{{}, kFormatTooShort}, SniffCase{{'B'}, kFormatTooShort},
                      SniffCase{{'B', 'M', 0}, kFormatTooShort}, SniffCase{{0xFF, 0xD8, 0xFF}, kFormatTooShort}));

TEST(SniffFormatBytes, ShortSizeIsDecidedWithoutReadingTheData) {
  EXPECT_STREQ(SniffFormatBytes(nullptr, 0), kFormatTooShort);
  EXPECT_STREQ(SniffFormatBytes(nullptr, 3), kFormatTooShort);
}

TEST(SniffFormatBytes, ReturnsTheSharedConstants) {
  const unsigned char png[] = {0x89, 'P', 'N', 'G'};
  // Callers compare the text, but the staged-file verdict passes the pointer on: it must be the constant.
  EXPECT_EQ(SniffFormatBytes(png, 4), kFormatPng);
}

TEST(IsPictureFormat, AcceptsTheFiveFormatsOnly) {
  for (const wchar_t* f : {kFormatBmp, kFormatJpeg, kFormatPng, kFormatGif, kFormatTiff}) {
    EXPECT_TRUE(IsPictureFormat(f)) << U8(f);
    EXPECT_TRUE(IsPictureFormat(std::wstring(f).c_str())) << "compared as text: " << U8(f);
  }
  EXPECT_FALSE(IsPictureFormat(kFormatUnknown));
  EXPECT_FALSE(IsPictureFormat(kFormatTooShort));
  EXPECT_FALSE(IsPictureFormat(L"无法打开"));
  EXPECT_FALSE(IsPictureFormat(L""));
}

TEST(PngDimensions, WidthComesFirstThenHeight) {
  Bytes b = PngHead("IHDR", 1920, 1080);
  unsigned w = 0, h = 0;
  ASSERT_TRUE(PngDimensions(b.data(), b.size(), w, h));
  EXPECT_EQ(w, 1920u);
  EXPECT_EQ(h, 1080u);
}

TEST(PngDimensions, ReadsAllFourBytesBigEndianUnsigned) {
  Bytes b = PngHead("IHDR", 0x80000001u, 0x01020304u);
  unsigned w = 0, h = 0;
  ASSERT_TRUE(PngDimensions(b.data(), b.size(), w, h));
  EXPECT_EQ(w, 0x80000001u);
  EXPECT_EQ(h, 0x01020304u);
}

TEST(PngDimensions, NeedsTwentyFourBytes) {
  Bytes b = PngHead("IHDR", 1920, 1080);
  b.pop_back();  // 23 bytes: the height is incomplete
  unsigned w = 7, h = 7;
  EXPECT_FALSE(PngDimensions(b.data(), b.size(), w, h));
  EXPECT_EQ(w, 7u);
  EXPECT_EQ(h, 7u);
}

TEST(PngDimensions, NeedsIhdrAsTheFirstChunk) {
  unsigned w = 0, h = 0;
  Bytes idat = PngHead("IDAT", 1920, 1080);
  EXPECT_FALSE(PngDimensions(idat.data(), idat.size(), w, h));
  Bytes lower = PngHead("ihdr", 1920, 1080);
  EXPECT_FALSE(PngDimensions(lower.data(), lower.size(), w, h));
}

TEST(PngDimensions, OnlyForPng) {
  Bytes b = PngHead("IHDR", 1920, 1080);
  b[0] = 'B';
  b[1] = 'M';  // a BMP with "IHDR" at offset 12 is still no PNG
  unsigned w = 0, h = 0;
  EXPECT_FALSE(PngDimensions(b.data(), b.size(), w, h));
}

TEST(ResourceLabel, NamesTheResourceBetweenStraightQuotes) {
  EXPECT_EQ(ResourceLabel(kPictureResourceName), L"exe 内嵌资源 \"OKAVU_PNG\"");
}

// LoadPicture runs here in a module without the picture resource, so an empty argument goes
// through the resource warning to the fallback file in the working directory.
class LoadPictureTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  WorkingDirectory cwd{dir.Path()};
  PictureSource picture;
  int exitCode = 0;

  // The picture stage as the driver runs it: exit code 2 without a usable picture, 3 for a format
  // the wallpaper refuses; picture is set only on success.
  bool Load(const std::wstring& argument, PictureSource& into) {
    Result<PictureSource> loaded = LoadPicture(argument);
    if (!loaded) {
      exitCode = 2;
      return false;
    }
    if (!CheckPictureFormat(loaded.value)) {
      exitCode = 3;
      return false;
    }
    into = std::move(loaded.value);
    return true;
  }
  bool Load(const std::wstring& argument) { return Load(argument, picture); }
};

TEST_F(LoadPictureTest, FallbackFileAfterTheResourceWarning) {
  Bytes png = PngHead("IHDR", 1536, 1152);
  WriteFileBytes(dir.File(L"OKAVU.png"), png);
  ConsoleCapture console;
  ASSERT_TRUE(Load(L""));
  EXPECT_EQ(picture.bytes, png);
  EXPECT_EQ(picture.label, FullPath(dir.File(L"OKAVU.png")));
  EXPECT_FALSE(picture.fromResource);
  std::string err = console.Err();
  EXPECT_EQ(err.rfind("[WARN ] exe 内找不到资源 \"OKAVU_PNG\" (RCDATA)，GetLastError=", 0), 0u) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  EXPECT_EQ(console.Out(),
            "[INFO ] 回退到外部文件 OKAVU.png\n"
            "[INFO ] 图片来源 = " +
                U8(picture.label) +
                "（24 字节）\n"
                "[INFO ] 数据格式 = PNG\n"
                "[INFO ] 图片尺寸 = 1536x1152\n");
}

TEST_F(LoadPictureTest, NoResourceAndNoFallbackFileIsExitTwo) {
  ConsoleCapture console;
  EXPECT_FALSE(Load(L""));
  EXPECT_EQ(exitCode, 2);
  std::string err = console.Err();
  EXPECT_NE(err.find("[ERROR] 既没有内嵌图片，也找不到 OKAVU.png；请用 build.bat 重新编译\n"), std::string::npos)
      << err;
  EXPECT_EQ(console.Out(), "");
}

TEST_F(LoadPictureTest, FallbackFolderCountsAsMissing) {
  CreateDirectoryW(dir.File(L"OKAVU.png").c_str(), nullptr);
  EXPECT_FALSE(Load(L""));
  EXPECT_EQ(exitCode, 2);
}

TEST_F(LoadPictureTest, EmptyFallbackFileIsExitTwoWithItsFullPath) {
  WriteFileBytes(dir.File(L"OKAVU.png"), {});
  ConsoleCapture console;
  EXPECT_FALSE(Load(L""));
  EXPECT_EQ(exitCode, 2);
  EXPECT_NE(console.Err().find("[ERROR] 读不出 " + U8(FullPath(dir.File(L"OKAVU.png"))) + "\n"), std::string::npos);
  EXPECT_EQ(console.Out(), "[INFO ] 回退到外部文件 OKAVU.png\n");
}

TEST_F(LoadPictureTest, FallbackWebpIsRefusedWithExitThree) {
  WriteFileBytes(dir.File(L"OKAVU.png"), {'R', 'I', 'F', 'F', 1, 0, 0, 0, 'W', 'E', 'B', 'P'});
  ConsoleCapture console;
  EXPECT_FALSE(Load(L""));
  EXPECT_EQ(exitCode, 3);
  std::string err = console.Err();
  EXPECT_NE(err.find("[ERROR] 数据不是 Windows 支持的位图格式（支持 BMP/JPEG/PNG/GIF/TIFF；不支持 WebP/HEIC/AVIF）\n"),
            std::string::npos)
      << err;
  EXPECT_NE(console.Out().find("[INFO ] 数据格式 = 未知格式\n"), std::string::npos);
}

TEST_F(LoadPictureTest, ArgumentIsResolvedAgainstTheWorkingDirectoryAndSkipsTheResource) {
  Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3};
  WriteFileBytes(dir.File(L"a.jpg"), jpeg);
  WriteFileBytes(dir.File(L"OKAVU.png"), PngHead("IHDR", 1, 1));
  ConsoleCapture console;
  ASSERT_TRUE(Load(L"a.jpg"));
  EXPECT_EQ(picture.bytes, jpeg);
  EXPECT_EQ(picture.label, FullPath(dir.File(L"a.jpg")));
  EXPECT_FALSE(picture.fromResource);
  EXPECT_EQ(console.Err(), "");  // no resource warning
  EXPECT_EQ(console.Out(), "[INFO ] 图片来源 = " + U8(picture.label) + "（7 字节）\n[INFO ] 数据格式 = JPEG\n");
}

TEST_F(LoadPictureTest, MissingOrDirectoryArgumentIsReportedAsGiven) {
  CreateDirectoryW(dir.File(L"folder.png").c_str(), nullptr);
  for (const wchar_t* arg : {L"missing.png", L"folder.png"}) {
    ConsoleCapture console;
    EXPECT_FALSE(Load(arg));
    EXPECT_EQ(exitCode, 2);
    EXPECT_EQ(console.Err(), "[ERROR] 文件不存在：" + U8(arg) + "\n");
  }
}

TEST_F(LoadPictureTest, EmptyArgumentFileIsExitTwoWithItsFullPath) {
  WriteFileBytes(dir.File(L"empty.png"), {});
  ConsoleCapture console;
  EXPECT_FALSE(Load(L"empty.png"));
  EXPECT_EQ(exitCode, 2);
  EXPECT_EQ(console.Err(), "[ERROR] 读不出文件或文件为空：" + U8(FullPath(dir.File(L"empty.png"))) + "\n");
}

TEST_F(LoadPictureTest, ThreeBytesAreTooShortFourAreEnough) {
  WriteFileBytes(dir.File(L"three.bmp"), {'B', 'M', 0});
  WriteFileBytes(dir.File(L"four.bmp"), {'B', 'M', 0, 0});
  {
    ConsoleCapture console;
    EXPECT_FALSE(Load(L"three.bmp"));
    EXPECT_EQ(exitCode, 3);
    EXPECT_NE(console.Out().find("[INFO ] 数据格式 = 数据太短\n"), std::string::npos);
  }
  PictureSource four;
  EXPECT_TRUE(Load(L"four.bmp", four));
  EXPECT_EQ(four.bytes.size(), 4u);
}

TEST_F(LoadPictureTest, ShortPngIsAcceptedWithoutDimensionLine) {
  Bytes png = PngHead("IHDR", 1920, 1080);
  png.resize(23);
  WriteFileBytes(dir.File(L"short.png"), png);
  ConsoleCapture console;
  ASSERT_TRUE(Load(L"short.png"));
  EXPECT_EQ(console.Out().find("图片尺寸"), std::string::npos);
}

TEST_F(LoadPictureTest, FailureLeavesThePictureUntouched) {
  picture.bytes = {1, 2, 3};
  picture.label = L"before";
  WriteFileBytes(dir.File(L"riff.webp"), {'R', 'I', 'F', 'F', 0, 0, 0, 0});
  EXPECT_FALSE(Load(L"riff.webp"));
  EXPECT_EQ(picture.bytes, (Bytes{1, 2, 3}));
  EXPECT_EQ(picture.label, L"before");
}

}  // namespace
