// Argument quoting: the exact form, and a round trip through the system's own command-line splitting.
#include "update/command_line.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/text.h"
#include "fixtures.h"

namespace {

using fixtures::SplitCommandLine;

std::string Show(const std::wstring& text) { return ToUtf8(text); }

// Arguments drawn from the characters that matter to the splitting rules, and a few that do not.
std::vector<std::wstring> GeneratedArguments(size_t count) {
  static const wchar_t kAlphabet[] = {L'\\', L'\\', L'\\', L'"', L'"', L' ', L'\t', L'a', L'Z',
                                      L'中', L'文', L'-',  L'/', L':', L'.', L'\'', L'^', L'&'};
  std::mt19937 random(20240611u);
  std::uniform_int_distribution<size_t> length(0, 12);
  std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) / sizeof(kAlphabet[0]) - 1);
  std::vector<std::wstring> args;
  for (size_t i = 0; i < count; ++i) {
    std::wstring arg;
    for (size_t n = length(random); n > 0; --n) arg.push_back(kAlphabet[pick(random)]);
    args.push_back(arg);
  }
  return args;
}

}  // namespace

TEST(QuoteArgumentTest, PlainQuoteAndEmptyArgumentsKeepTheSimpleForm) {
  EXPECT_EQ(QuoteArgument(L"--watch"), L"\"--watch\"");
  EXPECT_EQ(QuoteArgument(L"C:\\Program Files\\壁纸\\a.png"), L"\"C:\\Program Files\\壁纸\\a.png\"");
  EXPECT_EQ(QuoteArgument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
  EXPECT_EQ(QuoteArgument(L""), L"\"\"");
  EXPECT_EQ(QuoteArgument(L"\\\\server\\share\\x"), L"\"\\\\server\\share\\x\"");
}

TEST(QuoteArgumentTest, BackslashesBeforeAQuoteOrTheEndAreDoubled) {
  EXPECT_EQ(QuoteArgument(L"C:\\dir\\"), L"\"C:\\dir\\\\\"");
  EXPECT_EQ(QuoteArgument(L"\\"), L"\"\\\\\"");
  EXPECT_EQ(QuoteArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
  EXPECT_EQ(QuoteArgument(L"a\\\\\"b"), L"\"a\\\\\\\\\\\"b\"");
  EXPECT_EQ(QuoteArgument(L"a\\\\b\\"), L"\"a\\\\b\\\\\"");
}

TEST(QuoteArgumentTest, AppendsToWhatIsThere) {
  std::wstring line = L"prog";
  AppendQuotedArgument(line, L"x y");
  EXPECT_EQ(line, L"prog\"x y\"");
}

TEST(QuoteArgumentTest, ListedArgumentsSurviveTheSystemSplitting) {
  const std::vector<std::wstring> cases = {
      L"",     L" ",     L"\"",   L"\\",          L"\\\\", L"C:\\dir\\", L"C:\\dir\\\\", L"a\\\"b",       L"\\\"",
      L"\"\\", L"a b\\", L"\"\"", L"中文 路径\\", L"\t",   L"--",        L"-w",          L"x\\\\\\\"y\\", L"end\\\"",
  };
  std::wstring line = L"prog.exe";
  for (const std::wstring& arg : cases) {
    line.push_back(L' ');
    AppendQuotedArgument(line, arg);
  }
  std::vector<std::wstring> args = SplitCommandLine(line);
  ASSERT_EQ(args.size(), cases.size() + 1) << Show(line);
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(args[i + 1], cases[i]) << "case " << i << ": " << Show(line);
}

TEST(QuoteArgumentTest, GeneratedArgumentsSurviveTheSystemSplitting) {
  const std::vector<std::wstring> generated = GeneratedArguments(4000);
  // Several arguments per line, so that a fault that merges or splits neighbours shows too.
  for (size_t start = 0; start < generated.size(); start += 8) {
    std::wstring line = L"prog.exe";
    std::vector<std::wstring> expected;
    for (size_t i = start; i < start + 8 && i < generated.size(); ++i) {
      line.push_back(L' ');
      AppendQuotedArgument(line, generated[i]);
      expected.push_back(generated[i]);
    }
    std::vector<std::wstring> args = SplitCommandLine(line);
    ASSERT_EQ(args.size(), expected.size() + 1) << Show(line);
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(args[i + 1], expected[i]) << Show(line);
  }
}
