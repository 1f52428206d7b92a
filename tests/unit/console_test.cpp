// Console output: framing of the four message levels and the redirected (UTF-8) write path.
#include "support/console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/text.h"
#include "fixtures.h"

namespace {

std::wstring Frame(const wchar_t* tag, const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::wstring line = FrameLine(tag, fmt, args);
  va_end(args);
  return line;
}

TEST(FrameLine, EveryTagIsFiveCharactersInBracketsFollowedByTheTextAndABareLineFeed) {
  EXPECT_EQ(Frame(L" OK  ", L"桌面背景已设置为 %ls", L"C:\\a.png"), L"[ OK  ] 桌面背景已设置为 C:\\a.png\n");
  EXPECT_EQ(Frame(L"INFO ", L"当前会话 ID = %lu", 1UL), L"[INFO ] 当前会话 ID = 1\n");
  EXPECT_EQ(Frame(L"WARN ", L"%d%%", 5), L"[WARN ] 5%\n");
  EXPECT_EQ(Frame(L"ERROR", L"%hs", "abc"), L"[ERROR] abc\n");
}

TEST(FrameLine, AnEmptyMessageGivesTheFrameWithoutLineFeed) {
  EXPECT_EQ(Frame(L"INFO ", L""), L"[INFO ] ");
  EXPECT_EQ(Frame(L"WARN ", L"%ls", L""), L"[WARN ] ");
}

TEST(FrameLine, TheLongestLineThatGetsALineFeedHas2047Characters) {
  // 8 characters of frame + 2038 of text + LF fill the 2048-character buffer with its terminator.
  std::wstring text(2038, L'x');
  std::wstring line = Frame(L"INFO ", L"%ls", text.c_str());
  ASSERT_EQ(line.size(), 2047u);
  EXPECT_EQ(line, L"[INFO ] " + text + L"\n");
}

TEST(FrameLine, AMessageThatFillsTheBufferIsWrittenWithoutLineFeed) {
  std::wstring text(2039, L'y');
  EXPECT_EQ(Frame(L"INFO ", L"%ls", text.c_str()), L"[INFO ] " + text);
}

TEST(FrameLine, AnOverlongMessageIsCutTo2047CharactersWithoutLineFeed) {
  for (size_t length : {2040u, 2100u, 5000u}) {
    std::wstring text(length, L'中');
    std::wstring line = Frame(L"ERROR", L"%ls", text.c_str());
    ASSERT_EQ(line.size(), 2047u) << length;
    EXPECT_EQ(line, L"[ERROR] " + text.substr(0, 2039)) << length;
  }
}

// ConsoleWrite on a redirected stream: exact UTF-8, bare LF, no byte-order mark.
class ConsoleWriteToFile : public ::testing::Test {
 protected:
  fixtures::ScratchDir dir;
  std::wstring path = dir.File(L"out.txt");

  std::string WriteAndRead(const wchar_t* text) {
    FILE* stream = _wfopen(path.c_str(), L"wb");
    if (!stream) {
      ADD_FAILURE() << "cannot open the scratch file";
      return {};
    }
    ConsoleWrite(stream, text);
    fclose(stream);
    return fixtures::ReadFileText(path);
  }
};

TEST_F(ConsoleWriteToFile, WritesUtf8BytesWithBareLineFeedAndNoMark) {
  EXPECT_EQ(WriteAndRead(L"[INFO ] 壁纸正常。\n"),
            "[INFO ] \xE5\xA3\x81\xE7\xBA\xB8\xE6\xAD\xA3\xE5\xB8\xB8\xE3\x80\x82\n");
}

TEST_F(ConsoleWriteToFile, AnEmptyTextWritesNothing) { EXPECT_EQ(WriteAndRead(L""), ""); }

}  // namespace
