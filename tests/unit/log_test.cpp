// Log file: the line format, and appending with byte-order mark and rotation on a scratch file.
#include "support/log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/handles.h"
#include "support/text.h"
#include "fixtures.h"

namespace {

using fixtures::ReadFileText;

const SYSTEMTIME kJan5{2026, 1, 1, 5, 9, 3, 7, 0};  // Monday 2026-01-05 09:03:07

std::wstring LineAt(const SYSTEMTIME& now, LogLevel level, const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::wstring line = FormatLogLine(now, level, fmt, args);
  va_end(args);
  return line;
}

template <typename... Args>
std::wstring Line(LogLevel level, const wchar_t* fmt, Args... args) {
  return LineAt(kJan5, level, fmt, args...);
}

const std::string kBom = "\xEF\xBB\xBF";

TEST(FormatLogLine, PrefixIsZeroPaddedLocalTimeAndLevelAndTheLineEndsWithCrLf) {
  EXPECT_EQ(Line(LogLevel::kWarn, L"检测到壁纸被改为：%ls", L"C:\\x.png"),
            L"2026-01-05 09:03:07 [WARN] 检测到壁纸被改为：C:\\x.png\r\n");
  EXPECT_EQ(Line(LogLevel::kInfo, L"%d", 42), L"2026-01-05 09:03:07 [INFO] 42\r\n");
  EXPECT_EQ(Line(LogLevel::kError, L"%hs", "e"), L"2026-01-05 09:03:07 [ERROR] e\r\n");
  SYSTEMTIME late{2026, 12, 4, 31, 23, 59, 58, 999};
  EXPECT_EQ(LineAt(late, LogLevel::kInfo, L"x"), L"2026-12-31 23:59:58 [INFO] x\r\n");
}

TEST(FormatLogLine, AValueFromOutsideNeverEndsTheLineOrTurnsTheTextAround) {
  // A manifest value that would forge a second line, or read backwards from an override on.
  const std::wstring forged =
      L"1.7\r\n2026-01-05 09:03:08 [INFO] 已替换\x2028\x202E"
      L"\x7F\x85\x200F\x061C\x2066\x0009";
  EXPECT_EQ(Line(LogLevel::kWarn, L"版本 %ls", forged.c_str()),
            L"2026-01-05 09:03:07 [WARN] 版本 1.7\\u000D\\u000A2026-01-05 09:03:08 [INFO] 已替换\\u2028\\u202E"
            L"\\u007F\\u0085\\u200F\\u061C\\u2066\\u0009\r\n");
  // Text that only looks unusual stays as it is.
  EXPECT_EQ(Line(LogLevel::kInfo, L"%ls", L"C:\\图片\\a\x00A0" L"b\x0A0A.png"),
            L"2026-01-05 09:03:07 [INFO] C:\\图片\\a\x00A0" L"b\x0A0A.png\r\n");
}

TEST(FormatLogLine, AnEmptyMessageGivesNoLine) {
  EXPECT_EQ(Line(LogLevel::kInfo, L""), L"");
  EXPECT_EQ(Line(LogLevel::kInfo, L"%ls", L""), L"");
}

TEST(FormatLogLine, AnOverlongMessageIsCutTo1020CharactersBeforeCrLfInsteadOfBeingDropped) {
  const std::wstring prefix = L"2026-01-05 09:03:07 [INFO] ";  // 27 characters
  for (size_t length : {993u, 996u, 997u, 1100u, 4000u}) {
    std::wstring text(length, L'字');
    std::wstring line = Line(LogLevel::kInfo, L"%ls", text.c_str());
    std::wstring expected = (prefix + text).substr(0, 1020) + L"\r\n";
    EXPECT_EQ(line, expected) << length;
  }
  // One character less than the limit keeps the whole message.
  std::wstring fits(1020 - prefix.size(), L'a');
  EXPECT_EQ(Line(LogLevel::kInfo, L"%ls", fits.c_str()), prefix + fits + L"\r\n");
}

// AppendLogLine on a scratch log file.
class AppendLog : public ::testing::Test {
 protected:
  fixtures::ScratchDir dir;
  std::wstring path = dir.File(L"guard.log");
  std::wstring rotated = path + L".1";

  static std::wstring SampleLine(const wchar_t* text) {
    return std::wstring(L"2026-01-05 09:03:07 [INFO] ") + text + L"\r\n";
  }

  void WriteBytes(const std::wstring& file, const std::string& bytes) {
    fixtures::WriteFileBytes(file, std::vector<unsigned char>(bytes.begin(), bytes.end()));
  }
};

TEST_F(AppendLog, ANewFileStartsWithTheMarkFollowedByUtf8Lines) {
  AppendLogLine(path, SampleLine(L"设置墙纸：C:\\a.png"));
  AppendLogLine(path, SampleLine(L"second"));
  EXPECT_EQ(ReadFileText(path), kBom + ToUtf8(SampleLine(L"设置墙纸：C:\\a.png")) + ToUtf8(SampleLine(L"second")));
}

TEST_F(AppendLog, AnEmptyExistingFileGetsTheMarkAndANonEmptyOneDoesNot) {
  WriteBytes(path, "");
  AppendLogLine(path, SampleLine(L"a"));
  EXPECT_EQ(ReadFileText(path), kBom + ToUtf8(SampleLine(L"a")));

  WriteBytes(path, "old\r\n");
  AppendLogLine(path, SampleLine(L"b"));
  EXPECT_EQ(ReadFileText(path), "old\r\n" + ToUtf8(SampleLine(L"b")));
}

TEST_F(AppendLog, AFileOfExactlyOneMebibyteIsNotRotated) {
  std::string full(1048576, 'x');
  WriteBytes(path, full);
  AppendLogLine(path, SampleLine(L"c"));
  EXPECT_EQ(ReadFileText(path), full + ToUtf8(SampleLine(L"c")));
  EXPECT_EQ(GetFileAttributesW(rotated.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(AppendLog, ALargerFileIsRotatedReplacingTheOldCopyAndANewFileBegins) {
  std::string big(1048577, 'y');
  WriteBytes(path, big);
  WriteBytes(rotated, "older generation");
  AppendLogLine(path, SampleLine(L"d"));
  EXPECT_EQ(ReadFileText(rotated), big);
  EXPECT_EQ(ReadFileText(path), kBom + ToUtf8(SampleLine(L"d")));
}

TEST_F(AppendLog, AFailedRotationAppendsToTheOldFileWithoutAMarkInTheMiddle) {
  std::string big(1048577, 'z');
  WriteBytes(path, big);
  // Another process reads the log without allowing it to be renamed.
  UniqueFile reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(reader);
  AppendLogLine(path, SampleLine(L"e"));
  reader.reset();
  EXPECT_EQ(GetFileAttributesW(rotated.c_str()), INVALID_FILE_ATTRIBUTES);
  std::string content = ReadFileText(path);
  EXPECT_EQ(content.size(), big.size() + ToUtf8(SampleLine(L"e")).size());
  EXPECT_EQ(content, big + ToUtf8(SampleLine(L"e")));

  // The next line retries the rotation and succeeds now.
  AppendLogLine(path, SampleLine(L"f"));
  EXPECT_EQ(ReadFileText(rotated), content);
  EXPECT_EQ(ReadFileText(path), kBom + ToUtf8(SampleLine(L"f")));
}

TEST_F(AppendLog, ALineIsNotLostWhileAnotherWriterHoldsTheFileForAMoment) {
  WriteBytes(path, "held\r\n");
  UniqueFile other(
      CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(other);
  UniqueKernelHandle refused(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(refused);
  // The other writer lets go only once our append has been refused at least once, so the retry is what
  // keeps the line. The append waits far longer here than the program's few hundred milliseconds, so a
  // busy machine cannot turn the hold into a loss.
  std::thread releaser([&] {
    WaitForSingleObject(refused.get(), INFINITE);
    other.reset();
  });
  LogOpenRetry patient;
  patient.attempts = 2000;
  patient.refused = refused.get();
  AppendLogLine(path, SampleLine(L"kept"), patient);
  SetEvent(refused.get());  // ends the thread also where no open was refused; the line is then lost
  releaser.join();
  EXPECT_EQ(ReadFileText(path), "held\r\n" + ToUtf8(SampleLine(L"kept")));
}

TEST_F(AppendLog, AFolderThatDoesNotExistLosesTheLineQuietly) {
  std::wstring missing = dir.File(L"no-such-folder\\guard.log");
  AppendLogLine(missing, SampleLine(L"lost"));
  EXPECT_EQ(GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
