// Command-line parsing: option loop, separator, forwarded arguments, errors and the help text layout.
#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "app/options.h"
#include "version.h"

namespace {

ParsedCommandLine Parse(std::initializer_list<const wchar_t*> args) {
  std::vector<const wchar_t*> argv{L"OKAVU.exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

bool Keeps(std::initializer_list<const wchar_t*> args) {
  std::vector<const wchar_t*> argv{L"OKAVU.exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  return KeepsConsole(static_cast<int>(argv.size()), argv.data());
}

using Args = std::vector<std::wstring>;

TEST(OptionsTest, NoArgumentsIsAOneShotSetWithDefaults) {
  ParsedCommandLine p = Parse({});
  EXPECT_EQ(p.action, ParseAction::Run);
  EXPECT_FALSE(p.options.watch);
  EXPECT_FALSE(p.options.once);
  EXPECT_EQ(p.options.interval, 3);
  EXPECT_EQ(p.options.updateInterval, 30);
  EXPECT_TRUE(p.options.picturePath.empty());
  EXPECT_TRUE(p.fwdArgs.empty());
  EXPECT_FALSE(Keeps({}));
}

TEST(OptionsTest, OptionNamesIgnoreCaseButTheSeparatorDoesNot) {
  EXPECT_TRUE(Parse({L"--WATCH"}).options.watch);
  EXPECT_TRUE(Parse({L"-W"}).options.watch);
  ParsedCommandLine p = Parse({L"---", L"-w"});
  EXPECT_EQ(p.action, ParseAction::Error);
  EXPECT_EQ(p.error, L"未知参数：---");
  EXPECT_TRUE(p.helpAfterError);
}

TEST(OptionsTest, PreScanLooksEverywhereIncludingAfterTheSeparatorAndValues) {
  EXPECT_TRUE(Keeps({L"--", L"-w"}));
  EXPECT_TRUE(Keeps({L"--extract", L"/?"}));
  EXPECT_TRUE(Keeps({L"--CHECK-UPDATE"}));
  EXPECT_FALSE(Keeps({L"--update", L"-q", L"pic.png", L"--no-paint"}));
  EXPECT_TRUE(Keeps({L"--status"}));
  EXPECT_TRUE(Keeps({L"--STOP"}));
}

TEST(OptionsTest, StatusAndStopAreRunsOfTheirOwnAndOnlyAGivenUpdateIntervalCounts) {
  EXPECT_EQ(Parse({L"--status"}).action, ParseAction::Status);
  EXPECT_EQ(Parse({L"-w", L"--stop"}).action, ParseAction::Stop);
  EXPECT_EQ(Parse({L"--status", L"--version"}).action, ParseAction::Version);
  EXPECT_FALSE(Parse({L"-w"}).options.updateIntervalGiven);
  EXPECT_TRUE(Parse({L"--update-interval", L"30"}).options.updateIntervalGiven);
}

TEST(OptionsTest, ForwardedArgumentsPutTheTailFirstAndDropNoUpdate) {
  ParsedCommandLine p = Parse({L"--", L"-w"});
  EXPECT_FALSE(p.options.watch);
  EXPECT_EQ(p.fwdArgs, (Args{L"-w"}));

  p = Parse({L"-w", L"--", L"A", L"B"});
  EXPECT_TRUE(p.options.watch);
  EXPECT_EQ(p.fwdArgs, (Args{L"A", L"B", L"-w"}));

  p = Parse({L"-w", L"--NO-UPDATE", L"-i", L"7"});
  EXPECT_EQ(p.fwdArgs, (Args{L"-w", L"-i", L"7"}));

  p = Parse({L"-w", L"--", L"--no-update"});
  EXPECT_EQ(p.fwdArgs, (Args{L"-w"})) << "--no-update is dropped after the separator too";
}

TEST(OptionsTest, LaterOptionsWinAndNoUpdateOnlyClearsTheFlag) {
  EXPECT_FALSE(Parse({L"--update", L"--no-update"}).options.autoUpdate);
  ParsedCommandLine p = Parse({L"--check-update", L"--no-update"});
  EXPECT_FALSE(p.options.autoUpdate);
  EXPECT_TRUE(p.options.checkUpdate);
  EXPECT_EQ(Parse({L"-i", L"5", L"--interval", L"9"}).options.interval, 9);
  EXPECT_EQ(Parse({L"--extract", L"a", L"--extract", L"b"}).options.extractPath, L"b");
}

TEST(OptionsTest, NumericValuesFollowWcstol) {
  EXPECT_EQ(Parse({L"-i", L"5x"}).options.interval, 5);
  EXPECT_EQ(Parse({L"-i", L"  +12"}).options.interval, 12);
  EXPECT_EQ(Parse({L"-i", L"3600"}).action, ParseAction::Run);
  EXPECT_EQ(Parse({L"--update-interval", L"86400"}).action, ParseAction::Run);
  EXPECT_EQ(Parse({L"--update-interval", L"5"}).action, ParseAction::Run);
}

struct ErrorCase {
  std::vector<const wchar_t*> args;
  const wchar_t* message;
  bool help;
};

TEST(OptionsTest, EveryCommandLineErrorHasItsMessage) {
  const ErrorCase cases[] = {
      {{L"-i"}, L"--interval 后面缺少秒数", false},
      {{L"-w", L"--interval"}, L"--interval 后面缺少秒数", false},
      {{L"-i", L"0"}, L"--interval 超出范围（1..3600）：0", false},
      {{L"-i", L"abc"}, L"--interval 超出范围（1..3600）：0", false},
      {{L"-i", L"3601"}, L"--interval 超出范围（1..3600）：3601", false},
      {{L"-i", L"-5"}, L"--interval 超出范围（1..3600）：-5", false},
      {{L"-i", L"99999999999"}, L"--interval 超出范围（1..3600）：2147483647", false},
      {{L"-i", L"-w"}, L"--interval 超出范围（1..3600）：0", false},
      {{L"--extract"}, L"--extract 后面缺少路径", false},
      {{L"--extract", L"--", L"x"}, L"--extract 后面缺少路径", false},
      {{L"--update-interval"}, L"--update-interval 后面缺少秒数", false},
      {{L"--update-interval", L"4"}, L"--update-interval 超出范围（5..86400）：4", false},
      {{L"--update-interval", L"86401"}, L"--update-interval 超出范围（5..86400）：86401", false},
      {{L"--bogus"}, L"未知参数：--bogus", true},
      {{L"-w", L"--apply-update"}, L"未知参数：--apply-update", true},
      {{L"--enc-probeX"}, L"未知参数：--enc-probeX", true},
      {{L"a.png", L"b.png"}, L"只接受一个图片参数，多余的：b.png", false},
      {{L"-v", L"--interval", L"0"}, L"--interval 超出范围（1..3600）：0", false},
      {{L"--bogus", L"--help"}, L"未知参数：--bogus", true},
  };
  for (const ErrorCase& c : cases) {
    std::vector<const wchar_t*> argv{L"OKAVU.exe"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ParsedCommandLine p = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    SCOPED_TRACE(c.args.front());
    EXPECT_EQ(p.action, ParseAction::Error);
    EXPECT_EQ(p.error, c.message);
    EXPECT_EQ(p.helpAfterError, c.help);
  }
}

TEST(OptionsTest, ValueOptionsConsumeTheNextArgumentWhateverItIs) {
  ParsedCommandLine p = Parse({L"--extract", L"--force"});
  EXPECT_EQ(p.options.extractPath, L"--force");
  EXPECT_FALSE(p.options.force);
  EXPECT_FALSE(Parse({L"-i", L"-w"}).options.watch);
}

TEST(OptionsTest, PictureArgument) {
  EXPECT_EQ(Parse({L"-x"}).options.picturePath, L"-x") << "a single dash is a path";
  EXPECT_EQ(Parse({L"/tmp/a.png"}).options.picturePath, L"/tmp/a.png");
  EXPECT_EQ(Parse({L"-"}).options.picturePath, L"-");
  ParsedCommandLine p = Parse({L"", L"a.png"});
  EXPECT_EQ(p.action, ParseAction::Run);
  EXPECT_EQ(p.options.picturePath, L"a.png");
  p = Parse({L"a.png", L""});
  EXPECT_EQ(p.action, ParseAction::Run) << "an empty argument is no second picture";
  EXPECT_EQ(p.options.picturePath, L"a.png");
}

TEST(OptionsTest, HelpAndVersionEndTheRun) {
  EXPECT_EQ(Parse({L"--help", L"--bogus"}).action, ParseAction::Help);
  EXPECT_EQ(Parse({L"/?"}).action, ParseAction::Help);
  EXPECT_EQ(Parse({L"-v", L"-w"}).action, ParseAction::Version);
  ParsedCommandLine p = Parse({L"-q", L"--bogus"});
  EXPECT_TRUE(p.quiet);
  EXPECT_EQ(p.action, ParseAction::Error);
  EXPECT_FALSE(Parse({L"--bogus", L"-q"}).quiet) << "options after an error are never read";
}

std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  for (size_t nl = text.find(L'\n'); nl != std::wstring::npos; nl = text.find(L'\n', start)) {
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  EXPECT_EQ(start, text.size()) << "every line ends with a line feed";
  return lines;
}

TEST(UsageTest, HelpTextLayout) {
  std::wstring text = UsageText(L"C:\\Tools\\OKAVU.exe");
  EXPECT_EQ(text.find(L'\r'), std::wstring::npos);
  std::vector<std::wstring> lines = Lines(text);
  ASSERT_EQ(lines.size(), 25u);
  EXPECT_EQ(lines[0], std::wstring(L"OKAVU Quillmere  v") + kAppVersion);
  EXPECT_EQ(lines[1], std::wstring(L"更新源：https://") + kUpdateHost + L"/files/OKAVU/");
  EXPECT_EQ(lines[2], L"");
  EXPECT_EQ(lines[3], L"用法：C:\\Tools\\OKAVU.exe [图片] [选项]");
  EXPECT_EQ(lines[17], L"");
  EXPECT_EQ(lines[23], L"  更新前的状态保存在 HKCU\\Software\\OKAVU\\Quillmere");
  EXPECT_EQ(lines[24], L"  日志：%LOCALAPPDATA%\\OKAVU-wallpaper\\guard.log（超过 1MB 轮转为 .log.1）");
  // Descriptions start in fixed columns (counted in characters).
  for (int i : {4, 5}) {
    EXPECT_EQ(lines[i][17], L' ') << i;
    EXPECT_NE(lines[i][18], L' ') << i;
  }
  for (int i = 6; i <= 16; ++i) {
    EXPECT_EQ(lines[i][20], L' ') << i;
    EXPECT_NE(lines[i][22], L' ') << i;
    EXPECT_EQ(lines[i][21], L' ') << i;
  }
  for (int i = 19; i <= 22; ++i) {
    EXPECT_EQ(lines[i].substr(0, 8), L"      --") << i;
    EXPECT_EQ(lines[i][29], L' ') << i;
    EXPECT_NE(lines[i][30], L' ') << i;
  }
  EXPECT_EQ(lines[6].substr(0, 4), L"  -w") << "options with a short form start with two spaces";
  EXPECT_EQ(lines[8].substr(0, 8), L"      --") << "long-only options start with six";
}

}  // namespace
