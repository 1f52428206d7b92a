// The helper's argument grammar, its version rule, the restart line and the wait schedule.
#include "update/apply_update.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures.h"

namespace {

using fixtures::SplitCommandLine;

const std::wstring kDigest = L"2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";

// Runs the grammar on "helper.exe --apply-update" followed by the given arguments.
bool Parse(std::vector<std::wstring> rest, ApplyUpdateArgs& args) {
  std::vector<std::wstring> all = {L"C:\\Temp\\OKAVU-updater-1.exe", L"--apply-update"};
  all.insert(all.end(), rest.begin(), rest.end());
  std::vector<const wchar_t*> argv;
  for (const auto& a : all) argv.push_back(a.c_str());
  return ParseApplyUpdateArgs(static_cast<int>(argv.size()), argv.data(), args);
}

// The checks every helper run must be given, before the arguments of a case.
std::vector<std::wstring> Checked(std::vector<std::wstring> rest) {
  std::vector<std::wstring> all = {L"--ver", L"1.7.0.0", L"--sha256", kDigest};
  all.insert(all.end(), rest.begin(), rest.end());
  return all;
}

TEST(ApplyUpdateArgsTest, NothingAfterTheModeIsAUsageError) {
  ApplyUpdateArgs args;
  EXPECT_FALSE(Parse({}, args));
  const wchar_t* two[] = {L"x.exe", L"--apply-update"};
  EXPECT_FALSE(ParseApplyUpdateArgs(2, two, args));
}

TEST(ApplyUpdateArgsTest, ReadsEveryOptionAndTheForwardedTail) {
  ApplyUpdateArgs args;
  ASSERT_TRUE(Parse({L"--target", L"C:\\A\\OKAVU.exe", L"--new", L"C:\\A\\OKAVU.new.exe", L"--pid", L"4711", L"--ver",
                     L"1.7.0.0", L"--sha256", kDigest, L"--", L"--watch", L"-i", L"7"},
                    args));
  EXPECT_EQ(args.target, L"C:\\A\\OKAVU.exe");
  EXPECT_EQ(args.newFile, L"C:\\A\\OKAVU.new.exe");
  EXPECT_EQ(args.pid, 4711);
  EXPECT_EQ(args.expectedVersion, L"1.7.0.0");
  EXPECT_EQ(args.expectedSha256, kDigest);
  EXPECT_EQ(args.forwarded, (std::vector<std::wstring>{L"--watch", L"-i", L"7"}));
}

TEST(ApplyUpdateArgsTest, AHelperWithoutBothChecksIsAUsageError) {
  ApplyUpdateArgs args;
  const std::vector<std::wstring> files = {L"--target", L"t.exe", L"--new", L"n.exe"};
  const auto with = [&](std::vector<std::wstring> checks) {
    checks.insert(checks.begin(), files.begin(), files.end());
    return Parse(checks, args);
  };
  EXPECT_TRUE(with({L"--ver", L"1.7", L"--sha256", kDigest}));
  EXPECT_FALSE(with({L"--sha256", kDigest}));
  EXPECT_FALSE(with({L"--ver", L"", L"--sha256", kDigest}));
  EXPECT_FALSE(with({L"--ver", L"-", L"--sha256", kDigest}));
  EXPECT_FALSE(with({L"--ver", L"1.7"}));
  EXPECT_FALSE(with({L"--ver", L"1.7", L"--sha256", L"xyz"}));
  EXPECT_FALSE(with({L"--ver", L"1.7", L"--sha256", kDigest.substr(1)}));
}

TEST(ApplyUpdateArgsTest, MissingTargetOrNewFileIsAUsageError) {
  ApplyUpdateArgs args;
  EXPECT_FALSE(Parse({L"--new", L"n.exe", L"--pid", L"1"}, args));
  EXPECT_FALSE(Parse({L"--target", L"t.exe"}, args));
  EXPECT_FALSE(Parse({L"--target", L"", L"--new", L"n.exe"}, args));
  // Options after "--" belong to the new version, not to the helper.
  EXPECT_FALSE(Parse({L"--target", L"t.exe", L"--", L"--new", L"n.exe"}, args));
  // The option names are case-sensitive.
  EXPECT_FALSE(Parse({L"--TARGET", L"t.exe", L"--new", L"n.exe"}, args));
}

TEST(ApplyUpdateArgsTest, LaterOccurrenceWinsAndAnOptionWithoutValueIsIgnored) {
  ApplyUpdateArgs args;
  ASSERT_TRUE(Parse(Checked({L"--target", L"first.exe", L"--new", L"n.exe", L"--target", L"second.exe", L"--ver"}),
                    args));
  EXPECT_EQ(args.target, L"second.exe");
  EXPECT_EQ(args.expectedVersion, L"1.7.0.0");
  // An option as value: the value is taken whatever it looks like.
  ASSERT_TRUE(Parse(Checked({L"--target", L"--new", L"--new", L"n.exe"}), args));
  EXPECT_EQ(args.target, L"--new");
  EXPECT_EQ(args.newFile, L"n.exe");
}

TEST(ApplyUpdateArgsTest, PidIsReadLikeWtoi) {
  ApplyUpdateArgs args;
  ASSERT_TRUE(Parse(Checked({L"--target", L"t.exe", L"--new", L"n.exe", L"--pid", L"abc"}), args));
  EXPECT_EQ(args.pid, 0);
  ASSERT_TRUE(Parse(Checked({L"--target", L"t.exe", L"--new", L"n.exe", L"--pid", L" 12x"}), args));
  EXPECT_EQ(args.pid, 12);
  ASSERT_TRUE(Parse(Checked({L"--target", L"t.exe", L"--new", L"n.exe", L"--pid"}), args));
  EXPECT_EQ(args.pid, 0);
}

TEST(ApplyUpdateArgsTest, UnknownOptionsAreSkippedAndASecondSeparatorIsForwarded) {
  ApplyUpdateArgs args;
  ASSERT_TRUE(
      Parse(Checked({L"--bogus", L"--target", L"t.exe", L"stray", L"--new", L"n.exe", L"--", L"--", L"x"}), args));
  EXPECT_EQ(args.target, L"t.exe");
  EXPECT_EQ(args.forwarded, (std::vector<std::wstring>{L"--", L"x"}));
  ASSERT_TRUE(Parse(Checked({L"--target", L"t.exe", L"--new", L"n.exe", L"--"}), args));
  EXPECT_TRUE(args.forwarded.empty());
}

TEST(HelperVersionTest, AFileWhoseVersionCannotBeReadIsNeverAccepted) {
  EXPECT_FALSE(HelperVersionAccepted(L"1.7.0.0", L""));
}

TEST(HelperVersionTest, SameVersionByTextOrByNumbers) {
  EXPECT_TRUE(HelperVersionAccepted(L"1.7.0.0", L"1.7.0.0"));
  // The update cycle accepts a FileVersion '1.7' for a manifest '1.7.0.0'; the helper must too.
  EXPECT_TRUE(HelperVersionAccepted(L"1.7.0.0", L"1.7"));
  EXPECT_FALSE(HelperVersionAccepted(L"1.7.0.0", L"1.7.0.1"));
  EXPECT_FALSE(HelperVersionAccepted(L"1.7.0.0", L"1.6.0.0"));
  EXPECT_FALSE(HelperVersionAccepted(L"v1.7", L"x1.7"));
}

TEST(RestartCommandLineTest, ForwardedArgumentsReadBackExactly) {
  const std::wstring target = L"C:\\Program Files\\OKAVU\\OKAVU.exe";
  const std::vector<std::wstring> forwarded = {L"--watch", L"two words", L"say \"hi\"", L"C:\\ends with\\",
                                               L"",        L"--",        L"a\\\\\"b",   L"中文 参数"};
  const std::wstring line = RestartCommandLine(target, forwarded);
  EXPECT_EQ(line.rfind(L"\"C:\\Program Files\\OKAVU\\OKAVU.exe\" \"--watch\" ", 0), 0u) << line;
  std::vector<std::wstring> expected = {target};
  expected.insert(expected.end(), forwarded.begin(), forwarded.end());
  EXPECT_EQ(SplitCommandLine(line), expected);
}

TEST(RestartCommandLineTest, NoForwardedArgumentsGivesTheQuotedTargetAlone) {
  EXPECT_EQ(RestartCommandLine(L"C:\\T\\wp.exe", {}), L"\"C:\\T\\wp.exe\"");
}

TEST(RestartDirectoryTest, FolderBeforeTheLastBackslash) {
  EXPECT_EQ(RestartDirectory(L"C:\\Tools\\wp.exe"), L"C:\\Tools");
  EXPECT_EQ(RestartDirectory(L"C:\\wp.exe"), L"C:");
  EXPECT_EQ(RestartDirectory(L"wp.exe"), L"wp.exe");
}

TEST(OldProcessWaitTest, ProgressAboutEveryThirtySecondsAndGiveUpAfterFiveMinutes) {
  OldProcessWait wait;
  std::vector<unsigned long> reports;
  unsigned long elapsed = 0;
  for (;;) {
    elapsed += 5000;  // one slice
    if (wait.ShouldReport(elapsed)) reports.push_back(elapsed);
    if (OldProcessWait::GiveUp(elapsed)) break;
  }
  EXPECT_EQ(elapsed, 305000u);
  EXPECT_EQ(reports,
            (std::vector<unsigned long>{30000, 60000, 90000, 120000, 150000, 180000, 210000, 240000, 270000, 300000}));
}

TEST(OldProcessWaitTest, ThresholdsAreStrict) {
  OldProcessWait wait;
  EXPECT_FALSE(wait.ShouldReport(29999));
  EXPECT_TRUE(wait.ShouldReport(30000));
  EXPECT_FALSE(wait.ShouldReport(59999));
  EXPECT_TRUE(wait.ShouldReport(60001));
  EXPECT_FALSE(OldProcessWait::GiveUp(300000));
  EXPECT_TRUE(OldProcessWait::GiveUp(300001));
}

}  // namespace
