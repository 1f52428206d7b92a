// The helper's command line: every token in place, and what the helper reads back from it.
#include "update/handover.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/text.h"
#include "fixtures.h"

namespace {

using fixtures::SplitCommandLine;

const wchar_t kUpdater[] = L"C:\\users\\me\\Temp\\OKAVU-updater-4242.exe";
const wchar_t kExe[] = L"C:\\Program Files\\OKAVU 壁纸\\OKAVU.exe";
const wchar_t kNewExe[] = L"C:\\Program Files\\OKAVU 壁纸\\OKAVU.new.exe";
const char kDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

}  // namespace

TEST(HelperCommandLineTest, WithoutForwardedArgumentsEndsWithTheVersion) {
  EXPECT_EQ(BuildHelperCommandLine(kUpdater, kExe, kNewExe, 4242, L"1.7.0.0", "", {}),
            L"\"C:\\users\\me\\Temp\\OKAVU-updater-4242.exe\" --apply-update"
            L" --target \"C:\\Program Files\\OKAVU 壁纸\\OKAVU.exe\""
            L" --new \"C:\\Program Files\\OKAVU 壁纸\\OKAVU.new.exe\""
            L" --pid 4242 --ver \"1.7.0.0\"");
}

TEST(HelperCommandLineTest, ForwardedArgumentsFollowTheSeparatorQuoted) {
  EXPECT_EQ(BuildHelperCommandLine(L"u.exe", L"o.exe", L"n.exe", 4294967295UL, L"2.0", kDigest,
                                   {L"--watch", L"say \"hi\"", L"", L"图片.png"}),
            L"\"u.exe\" --apply-update --target \"o.exe\" --new \"n.exe\" --pid 4294967295 --ver \"2.0\""
            L" --sha256 " +
                FromUtf8(kDigest) + L" -- \"--watch\" \"say \\\"hi\\\"\" \"\" \"图片.png\"");
}

TEST(HelperCommandLineTest, HelperReadsBackEveryTokenAndForwardedArgument) {
  const std::vector<std::wstring> forwarded = {L"-w", L"--interval", L"5",       L"D:\\壁纸\\", L"a\\\"b",
                                               L"",   L"--",         L"x y\\\\", L"\"quoted\"", L"--apply-update"};
  const std::wstring line = BuildHelperCommandLine(kUpdater, kExe, kNewExe, 77, L"1.7.0.0", kDigest, forwarded);
  std::vector<std::wstring> expected = {kUpdater,    L"--apply-update", L"--target", kExe,     L"--new",
                                        kNewExe,     L"--pid",          L"77",       L"--ver", L"1.7.0.0",
                                        L"--sha256", FromUtf8(kDigest), L"--"};
  expected.insert(expected.end(), forwarded.begin(), forwarded.end());
  EXPECT_EQ(SplitCommandLine(line), expected) << ToUtf8(line);
}

TEST(HelperCommandLineTest, VersionTextCannotInjectHelperOptions) {
  // The version comes from the manifest; a quote in it must not open a new helper option.
  const std::wstring version = L"1.7.0.0\" --target \"C:\\evil.exe";
  const std::vector<std::wstring> args =
      SplitCommandLine(BuildHelperCommandLine(L"u.exe", L"o.exe", L"n.exe", 1, version, "", {}));
  ASSERT_EQ(args.size(), 10u);
  EXPECT_EQ(args[9], version);
}
