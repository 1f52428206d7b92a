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

// The record a hand-over fills in.
ApplyUpdateArgs Request(const std::wstring& target, const std::wstring& newFile, int pid, const std::wstring& version,
                        const std::string& sha256, std::vector<std::wstring> forwarded = {},
                        const std::wstring& folder = L"") {
  ApplyUpdateArgs args;
  args.target = target;
  args.newFile = newFile;
  args.pid = pid;
  args.expectedVersion = version;
  args.expectedSha256 = FromUtf8(sha256);
  args.workingDirectory = folder;
  args.forwarded = std::move(forwarded);
  return args;
}

}  // namespace

TEST(HelperCommandLineTest, WithoutForwardedArgumentsEndsWithTheVersion) {
  EXPECT_EQ(BuildHelperCommandLine(kUpdater, Request(kExe, kNewExe, 4242, L"1.7.0.0", "")),
            L"\"C:\\users\\me\\Temp\\OKAVU-updater-4242.exe\" --apply-update"
            L" --target \"C:\\Program Files\\OKAVU 壁纸\\OKAVU.exe\""
            L" --new \"C:\\Program Files\\OKAVU 壁纸\\OKAVU.new.exe\""
            L" --pid 4242 --ver \"1.7.0.0\"");
}

TEST(HelperCommandLineTest, ForwardedArgumentsFollowTheSeparatorQuoted) {
  EXPECT_EQ(BuildHelperCommandLine(L"u.exe", Request(L"o.exe", L"n.exe", 2147483647, L"2.0", kDigest,
                                                     {L"--watch", L"say \"hi\"", L"", L"图片.png"}, L"D:\\")),
            L"\"u.exe\" --apply-update --target \"o.exe\" --new \"n.exe\" --pid 2147483647 --ver \"2.0\""
            L" --sha256 " +
                FromUtf8(kDigest) + L" --cwd \"D:\\\\\" -- \"--watch\" \"say \\\"hi\\\"\" \"\" \"图片.png\"");
}

TEST(HelperCommandLineTest, HelperReadsBackTheRequestItWasGiven) {
  const std::vector<std::wstring> forwarded = {L"-w", L"--interval", L"5",       L"D:\\壁纸\\", L"a\\\"b",
                                               L"",   L"--",         L"x y\\\\", L"\"quoted\"", L"--apply-update"};
  const ApplyUpdateArgs sent = Request(kExe, kNewExe, 77, L"1.7.0.0", kDigest, forwarded, L"\\\\srv\\共享 目录\\");
  const std::wstring line = BuildHelperCommandLine(kUpdater, sent);
  std::vector<std::wstring> argv = SplitCommandLine(line);
  std::vector<const wchar_t*> raw;
  for (const std::wstring& arg : argv) raw.push_back(arg.c_str());
  ApplyUpdateArgs read;
  ASSERT_TRUE(ParseApplyUpdateArgs(static_cast<int>(raw.size()), raw.data(), read)) << ToUtf8(line);
  EXPECT_EQ(argv[0], kUpdater);
  EXPECT_EQ(read.target, sent.target);
  EXPECT_EQ(read.newFile, sent.newFile);
  EXPECT_EQ(read.pid, sent.pid);
  EXPECT_EQ(read.expectedVersion, sent.expectedVersion);
  EXPECT_EQ(read.expectedSha256, sent.expectedSha256);
  EXPECT_EQ(read.workingDirectory, sent.workingDirectory);
  EXPECT_EQ(read.forwarded, sent.forwarded);
}

TEST(HelperCommandLineTest, VersionTextCannotInjectHelperOptions) {
  // The version comes from the manifest; a quote in it must not open a new helper option.
  const std::wstring version = L"1.7.0.0\" --target \"C:\\evil.exe";
  const std::vector<std::wstring> args =
      SplitCommandLine(BuildHelperCommandLine(L"u.exe", Request(L"o.exe", L"n.exe", 1, version, "")));
  ASSERT_EQ(args.size(), 10u);
  EXPECT_EQ(args[9], version);
}
