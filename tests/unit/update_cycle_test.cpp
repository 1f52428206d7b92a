// The update cycle over a fake network, disk and hand-over: every refusal of the verdict with its exact
// console and log lines, what each way out leaves behind, and the busy flag.
#include "update/update_cycle.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/clock.h"
#include "version.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

const std::wstring kNewExe = L"C:\\程序\\OKAVU.new.exe";

// A version newer than this build's, whatever the build's version is.
std::wstring OfferedVersion() {
  int parts[4];
  ParseVersion(kAppVersion, parts);
  return std::to_wstring(parts[0] + 1) + L".0.0.0";
}
const std::wstring kOffer = OfferedVersion();
const std::string kOffer8 = U8(kOffer);
const std::string kDigest = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";

// What the update host and the disk answer, and what the cycle asked of them.
struct FakeHost {
  Result<HttpResponse> manifest;
  DownloadFacts download;
  bool handOverWorks = true;
  bool lockedByAnother = false;
  unsigned long lockError = WAIT_TIMEOUT;  // why the lock is not had, when lockedByAnother
  bool installedAlready = false;
  std::string publisherKey;
  unsigned subsystem = kConsoleSubsystem;  // the running build's
  FailedRelease failed;                    // what the registry remembers
  std::optional<std::int64_t> highestSeq;  // "ManifestSeq"
  UtcSeconds now = 1796860800;             // 2026-12-10T00:00:00Z

  int downloads = 0;
  std::vector<Validators> asked;  // each manifest request's validators
  std::wstring requested;
  std::set<std::wstring> files;  // what exists on the fake disk
  std::vector<std::wstring> deleted;
  std::string handedDigest;

  UpdateSystem System() {
    UpdateSystem system;
    system.publisherKey = publisherKey;
    system.subsystem = subsystem;
    system.fetchManifest = [this](const Validators& ask) {
      asked.push_back(ask);
      return manifest;
    };
    system.now = [this] { return now; };
    system.highestSeq = [this] { return highestSeq; };
    system.rememberSeq = [this](std::int64_t seq) { highestSeq = seq; };
    system.installId = [] { return std::string("0123456789abcdef0123456789abcdef"); };
    system.failedRelease = [this] { return failed; };
    system.rememberFailure = [this](const std::wstring& version, const std::wstring& sha256) {
      failed = {version, sha256, L""};
    };
    system.lockExecutable = [this] {
      return lockedByAnother ? Result<UniqueFile>(Status::Failure(lockError)) : Result<UniqueFile>(UniqueFile{});
    };
    system.installedAlready = [this](const std::string&) { return installedAlready; };
    system.downloadPath = [] { return kNewExe; };
    system.download = [this](const std::wstring& path, const std::wstring& file, const UpdateInfo&) {
      ++downloads;
      requested = path;
      files.insert(file);
      return download;
    };
    system.deleteFile = [this](const std::wstring& file) {
      deleted.push_back(file);
      files.erase(file);
    };
    system.handOver = [this](const UpdateInfo& info, const std::wstring& newExe, const std::string& sha256,
                             UpdateChannel& channel) {
      handedDigest = sha256;
      if (!handOverWorks) return Status::Failure(ERROR_ACCESS_DENIED);
      channel.PublishHandOver(HandOver{4242, newExe, info.version});
      return Status::Success();
    };
    return system;
  }
};

Result<HttpResponse> Answer(const std::string& body) {
  HttpResponse response;
  response.status = 200;
  response.body = body;
  return response;
}

std::string Manifest(const std::string& extra = "") {
  return "version=" + kOffer8 + "\nurl=OKAVU-" + kOffer8 + ".exe\nsha256=" + kDigest + "\nsize=5\n" + extra;
}

// A download that passes every check of Manifest().
DownloadFacts GoodDownload() {
  DownloadFacts facts;
  facts.fetch = Answer("");
  facts.readable = true;
  facts.size = 5;
  facts.digest = kDigest;
  facts.hasVersion = true;
  facts.fileVersion = kOffer;
  facts.subsystem = kConsoleSubsystem;
  return facts;
}

class UpdateCycleTest : public testing::Test {
 protected:
  UpdateChannel channel{{}, UniqueKernelHandle()};
  FakeHost host;
  UpdatePolicy policy;
  CheckReport report;
  std::string out;
  std::string err;
  std::vector<std::string> log;

  void Run() {
    LogWatch watch;
    ConsoleCapture console;
    report = DoUpdateCycleWith(channel, host.System(), policy);
    out = console.Out();
    err = console.Err();
    log = watch.NewLines();
  }
  // After a cycle that ended without a hand-over: no download is left and the next cycle may start.
  void ExpectUndone() {
    EXPECT_TRUE(host.files.empty());
    EXPECT_FALSE(channel.HandOverReady());
    EXPECT_TRUE(channel.TryBeginCycle()) << "the busy flag was left set";
    channel.EndCycle();
  }
};

const std::string kAnnounceOut =
    "[INFO ] " + U8(Format(L"发现新版本 %ls（当前 %ls），开始下载…", kOffer.c_str(), kAppVersion)) + "\n";
const std::string kAnnounceLog = "[INFO] " + U8(Format(L"发现新版本 %ls（当前 %ls）", kOffer.c_str(), kAppVersion));

TEST_F(UpdateCycleTest, FailedManifestRequestsAreLoggedWithTheirCauseAndNothingIsDownloaded) {
  host.manifest = Result<HttpResponse>(Status::Failure(ERROR_WINHTTP_SECURE_FAILURE));
  Run();
  EXPECT_EQ(report.outcome, CheckOutcome::kNoAnswer);
  EXPECT_EQ(log, (std::vector<std::string>{"[WARN] 更新检查失败：ok=0 状态码=0",
                                           "[WARN] 更新检查失败原因：WinHTTP 错误 12175 ERROR_WINHTTP_SECURE_FAILURE（证书或安全连接有问题）"}));
  EXPECT_EQ(out + err, "");
  EXPECT_EQ(host.downloads, 0);
  ExpectUndone();

  HttpResponse notFound;
  notFound.status = 404;
  host.manifest = Result<HttpResponse>(Status::Failure(), notFound);
  Run();
  EXPECT_EQ(log, std::vector<std::string>{"[WARN] 更新检查失败：ok=0 状态码=404"}) << "a status has no cause line";
  EXPECT_EQ(report.outcome, CheckOutcome::kHostError);
  ExpectUndone();
}

TEST_F(UpdateCycleTest, UnusableOrOlderManifestsEndTheCycleBeforeAnyDownload) {
  for (const std::string& body :
       {std::string(), "version=" + kOffer8 + "\n", "\xEF\xBB\xBFversion=" + kOffer8 + "\nurl=x.exe\n"}) {
    host.manifest = Answer(body);
    Run();
    EXPECT_EQ(log, std::vector<std::string>{"[WARN] 清单格式不对，忽略"}) << body;
    ExpectUndone();
  }
  for (const std::wstring& version : {std::wstring(kAppVersion), std::wstring(L"1.0"), std::wstring(L"v9")}) {
    host.manifest = Answer("version=" + U8(version) + "\nurl=x.exe\n");
    Run();
    EXPECT_TRUE(log.empty()) << U8(version);
    EXPECT_EQ(out + err, "");
    ExpectUndone();
  }
  EXPECT_EQ(host.downloads, 0);
}

TEST_F(UpdateCycleTest, ABuildWithAKeyRefusesAnUnsignedManifestBeforeReadingIt) {
  host.publisherKey =
      "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEw5oABYULVTyol1ZqNKhNX4223397oGbyqYn8azk7WQGqT24lv9TLi1e1T93pliY70uztWFqNSnej"
      "klRHBGyP4w==";
  host.manifest = Answer(Manifest());
  host.download = GoodDownload();
  Run();
  EXPECT_EQ(err, "[WARN ] 更新清单的签名不可信（没有签名行），本次不更新\n");
  EXPECT_EQ(out, "");
  EXPECT_EQ(log, std::vector<std::string>{"[WARN] 清单签名校验失败：没有签名行"});
  EXPECT_EQ(host.downloads, 0);
  EXPECT_TRUE(host.deleted.empty()) << "no file is touched";
  ExpectUndone();
}

TEST_F(UpdateCycleTest, AManifestOverItsSizeLimitOrWithAControlCharacterIsNotUsed) {
  HttpResponse big;
  big.status = 200;
  host.manifest = Result<HttpResponse>(Status::Failure(ERROR_FILE_TOO_LARGE), big);
  Run();
  EXPECT_EQ(log,
            (std::vector<std::string>{"[WARN] 更新检查失败：ok=0 状态码=200",
                                      "[WARN] 更新检查失败原因：系统错误 223 ERROR_FILE_TOO_LARGE（应答超过大小上限）"}));
  ExpectUndone();
  // A NUL in the version would cut the helper's command line short, forwarded arguments and all.
  host.manifest = Answer(std::string("version=") + kOffer8 + std::string(1, '\0') + "x\nurl=x.exe\n");
  Run();
  EXPECT_EQ(log, std::vector<std::string>{"[WARN] 清单格式不对，忽略"});
  EXPECT_EQ(host.downloads, 0);
  ExpectUndone();
}

TEST_F(UpdateCycleTest, RefusedLocationIsAnnouncedThenRefused) {
  host.manifest = Answer("version=" + kOffer8 + "\nurl=http://evil.test/x.exe\n");
  Run();
  EXPECT_EQ(out, kAnnounceOut);
  EXPECT_EQ(err, "[ERROR] 下载地址不被允许：http://evil.test/x.exe\n");
  EXPECT_EQ(log, (std::vector<std::string>{kAnnounceLog, "[ERROR] 下载地址不被允许：http://evil.test/x.exe"}));
  EXPECT_EQ(host.downloads, 0);
  ExpectUndone();
}

struct Refusal {
  const char* what;
  void (*spoil)(DownloadFacts& facts, std::string& manifestExtra);
  std::string err;
  std::vector<std::string> log;  // after the announcement
  std::wstring remembered;       // the digest remembered as failed; "-": nothing remembered
};

TEST_F(UpdateCycleTest, EveryRefusedDownloadIsReportedAndDeleted) {
  const std::string verified = "下载校验通过：5 字节 sha256=" + kDigest;
  const std::vector<Refusal> refusals = {
      {"request failed",
       [](DownloadFacts& f, std::string&) {
         HttpResponse cut;
         cut.status = 200;
         f.fetch = Result<HttpResponse>(Status::Failure(ERROR_WINHTTP_CONNECTION_ERROR), cut);
       },
       "[ERROR] 下载失败（状态码 200）\n",
       {"[ERROR] 下载失败：状态码 200",
        "[ERROR] 下载失败原因：WinHTTP 错误 12030 ERROR_WINHTTP_CONNECTION_ERROR（连接被中断或重置）"},
       L"-"},
      {"unreadable", [](DownloadFacts& f, std::string&) { f.readable = false; }, "", {"[ERROR] 下载文件读不出"}, L"-"},
      {"size",
       [](DownloadFacts& f, std::string&) { f.size = 6; },
       "[ERROR] 体积不符：期望 5 实际 6，放弃更新\n",
       {"[ERROR] 体积不符：期望 5 实际 6"},
       FromUtf8(kDigest)},
      {"digest form",
       [](DownloadFacts&, std::string& m) { m = "sha256=XYZ\n"; },
       "[ERROR] 清单里的 sha256 不是 64 位十六进制，拒绝更新（清单写错了？）\n",
       {"[ERROR] 清单 sha256 非法：XYZ"},
       L"XYZ"},
      {"digest",
       [](DownloadFacts& f, std::string&) { f.digest = ""; },
       "[ERROR] SHA256 校验失败，放弃更新\n",
       {"[ERROR] SHA256 校验失败，期望 " + kDigest + " 实际 "},
       FromUtf8(kDigest)},
      {"no version",
       [](DownloadFacts& f, std::string&) { f.hasVersion = false; },
       "[ERROR] 下载的 exe 没有版本资源，拒绝安装（请确认上传的是正确构建）\n",
       {"[INFO] " + verified, "[ERROR] 下载的 exe 缺少版本资源，拒绝安装"},
       FromUtf8(kDigest)},
      {"version",
       [](DownloadFacts& f, std::string&) { f.fileVersion = L"0.1"; },
       "[ERROR] 下载包版本(0.1)与清单(" + kOffer8 + ")不一致，拒绝安装\n",
       {"[INFO] " + verified, "[ERROR] 下载包版本 0.1 与清单 " + kOffer8 + " 不一致，拒绝安装"},
       FromUtf8(kDigest)},
      {"build",
       [](DownloadFacts& f, std::string&) { f.subsystem = kWindowlessSubsystem; },
       "[ERROR] 下载的是无窗口版，本程序是控制台版，拒绝安装（清单的下载地址写错了？）\n",
       {"[INFO] " + verified, "[ERROR] 下载包是无窗口版（子系统 2），本程序是控制台版，拒绝安装"},
       FromUtf8(kDigest)},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.what);
    std::string extra;
    host.download = GoodDownload();
    refusal.spoil(host.download, extra);
    host.manifest = Answer(Manifest(extra));
    host.failed = {L"-", L"-", L""};
    Run();
    EXPECT_EQ(out, kAnnounceOut) << "the console calls no check passed for a file it refuses";
    EXPECT_EQ(err, refusal.err);
    std::vector<std::string> expected = {kAnnounceLog};
    expected.insert(expected.end(), refusal.log.begin(), refusal.log.end());
    EXPECT_EQ(log, expected);
    EXPECT_EQ(host.requested, L"/files/OKAVU/OKAVU-" + kOffer + L".exe");
    EXPECT_EQ(host.deleted, (std::vector<std::wstring>{kNewExe, kNewExe})) << "a leftover first, the download last";
    EXPECT_EQ(host.failed.sha256, refusal.remembered) << "a network failure is retried, a bad release is not";
    host.deleted.clear();
    ExpectUndone();
  }
}

TEST_F(UpdateCycleTest, AFailedReleaseIsSkippedSayingSoOnceUntilTheManifestNamesAnotherOne) {
  host.manifest = Answer(Manifest());
  host.download = GoodDownload();
  host.failed = {kOffer, FromUtf8(kDigest), L""};
  Run();
  EXPECT_EQ(
      out,
      "[INFO ] " + U8(Format(L"版本 %ls 上次安装失败，不再下载（清单换了版本或摘要才会再试）", kOffer.c_str())) + "\n");
  EXPECT_EQ(log, std::vector<std::string>{"[INFO] 跳过上次安装失败的版本 " + kOffer8});
  Run();
  EXPECT_EQ(out + err, "");
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(host.downloads, 0);
  ExpectUndone();

  host.failed.sha256 = L"0" + host.failed.sha256.substr(1);  // the publisher replaced the file
  Run();
  EXPECT_EQ(host.downloads, 1);
  EXPECT_TRUE(channel.HandOverReady());
}

TEST_F(UpdateCycleTest, WhileAnotherProcessUpdatesThisExecutableNothingIsTouched) {
  host.manifest = Answer(Manifest());
  host.download = GoodDownload();
  host.lockedByAnother = true;
  for (int cycle = 0; cycle < 2; ++cycle) {
    Run();
    if (cycle == 0) {
      EXPECT_EQ(out, "[INFO ] 另一个进程正在更新本程序，本次检查跳过\n");
      EXPECT_EQ(log, std::vector<std::string>{"[INFO] 另一个进程正在更新本程序，跳过本次检查"});
    } else {
      EXPECT_TRUE(log.empty()) << "said once";
    }
    EXPECT_EQ(host.downloads, 0);
    EXPECT_TRUE(host.deleted.empty());
    ExpectUndone();
  }

  // Another process installed the release meanwhile: nothing is downloaded, the helper restarts this run.
  host.lockedByAnother = false;
  host.installedAlready = true;
  Run();
  EXPECT_EQ(host.downloads, 0);
  EXPECT_EQ(out, "[INFO ] " +
                     U8(Format(L"程序文件已由另一个进程更新为版本 %ls，交给更新帮手重新启动", kOffer.c_str())) + "\n");
  EXPECT_EQ(host.handedDigest, kDigest);
  EXPECT_TRUE(channel.HandOverReady());
}

TEST_F(UpdateCycleTest, AVerifiedDownloadIsHandedOverAndKeptAndTheCycleStaysBusy) {
  host.manifest = Answer(Manifest());
  host.download = GoodDownload();
  const std::wstring shortVersion = kOffer.substr(0, kOffer.size() - 4);  // the same four numbers
  host.download.fileVersion = shortVersion;
  Run();
  EXPECT_EQ(out, kAnnounceOut + "[ OK  ] 下载完成并通过校验：5 字节，SHA256 " + kDigest +
                     "\n[ OK  ] 新包版本资源确认：" + U8(shortVersion) + "\n");
  EXPECT_EQ(err, "");
  EXPECT_TRUE(channel.HandOverReady());
  EXPECT_EQ(channel.handOver().newExePath, kNewExe);
  EXPECT_EQ(host.handedDigest, kDigest) << "the helper checks the digest the cycle verified";
  EXPECT_EQ(host.files, std::set<std::wstring>{kNewExe});
  EXPECT_FALSE(channel.TryBeginCycle()) << "no cycle may start after a hand-over";
}

TEST_F(UpdateCycleTest, AHandOverThatFailsHereIsALocalFaultNotTheReleasesAndFreesTheNextCycle) {
  host.manifest = Answer(Manifest());
  host.download = GoodDownload();
  host.handOverWorks = false;
  Run();
  EXPECT_EQ(report.outcome, CheckOutcome::kLocalFault) << "tried again after the back-off";
  EXPECT_EQ(host.failed.version, L"") << "not remembered against the release";
  ExpectUndone();

  // An update lock that cannot even be made (a folder the user may not write) is this computer's too,
  // said once.
  host.lockedByAnother = true;
  host.lockError = ERROR_ACCESS_DENIED;
  for (int cycle = 0; cycle < 2; ++cycle) {
    Run();
    EXPECT_EQ(report.outcome, CheckOutcome::kLocalFault);
    EXPECT_EQ(host.downloads, 1);
    EXPECT_EQ(out, cycle == 0 ? "[INFO ] 无法在程序所在文件夹建立更新锁 (err=5)，本次不更新，稍后再试\n" : "");
    ExpectUndone();
  }
}

TEST_F(UpdateCycleTest, APolicyTurnedOnWhileTheProgramRunsStopsTheNextRequestSayingSoOnce) {
  host.manifest = Answer(Manifest());
  host.download = GoodDownload();
  policy.disableUpdates = true;
  policy.disabledBy = L"HKLM\\SOFTWARE\\Policies\\OKAVU\\Quillmere\\DisableUpdates";
  for (int cycle = 0; cycle < 2; ++cycle) {
    Run();
    EXPECT_EQ(log, cycle == 0 ? std::vector<std::string>{"[INFO] 自动更新已被策略禁用（" + U8(policy.disabledBy) + "）"}
                              : std::vector<std::string>{});
    EXPECT_EQ(host.downloads, 0);
    EXPECT_EQ(report.outcome, CheckOutcome::kManifest);
    ExpectUndone();
  }
  EXPECT_EQ(host.requested, L"") << "not even the manifest";
}

TEST_F(UpdateCycleTest, CycleWhileAnotherRunsReturnsWithoutTouchingAnything) {
  ASSERT_TRUE(channel.TryBeginCycle());
  host.manifest = Answer(Manifest());
  Run();
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(channel.TryBeginCycle()) << "the running cycle's flag must stay set";
  EXPECT_FALSE(channel.HandOverReady());
}

}  // namespace

namespace {

// A build with a publisher key keeps one: the key the release carries is judged after everything else.
TEST_F(UpdateCycleTest, AKeyedBuildRefusesAReleaseWithoutAKeyAndSaysWhenTheKeyChanges) {
  UpdateInfo offer;
  offer.version = kOffer;
  offer.sha256 = FromUtf8(kDigest);
  offer.size = 5;
  DownloadFacts facts = GoodDownload();
  const auto judge = [&](const std::string& releaseKey) {
    facts.publisherKey = releaseKey;
    const DownloadVerdict verdict = JudgeDownload(offer, facts, kConsoleSubsystem, "RUNNING-KEY");
    LogWatch watch;
    ConsoleCapture console;
    ReportDownload(verdict, facts, offer);
    out = console.Out();
    err = console.Err();
    log = watch.NewLines();
    return verdict;
  };
  DownloadVerdict verdict = judge("");
  EXPECT_EQ(verdict.outcome, DownloadOutcome::kNoPublisherKey);
  EXPECT_TRUE(IsFaultOfTheRelease(verdict.outcome)) << "remembered, not fetched again";
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "[WARN ] 新版本 " + kOffer8 +
                     " 不带发布者公钥：装上它就不再校验更新清单的签名，拒绝安装（请用带公钥的构建发布）\n");
  EXPECT_EQ(log, (std::vector<std::string>{"[INFO] 下载校验通过：5 字节 sha256=" + kDigest,
                                           "[WARN] 新版本 " + kOffer8 + " 不带发布者公钥，装上后不再校验签名，拒绝安装"}));

  verdict = judge("NEW-KEY");
  EXPECT_EQ(verdict.outcome, DownloadOutcome::kAccepted);
  EXPECT_TRUE(verdict.publisherKeyChanges);
  EXPECT_EQ(err, "[WARN ] 新版本 " + kOffer8 + " 换用新的发布者公钥：此后的更新须由新密钥签名\n");
  EXPECT_EQ(log.back(), "[WARN] 新版本 " + kOffer8 + " 换用新的发布者公钥");

  verdict = judge("RUNNING-KEY");
  EXPECT_EQ(verdict.outcome, DownloadOutcome::kAccepted);
  EXPECT_FALSE(verdict.publisherKeyChanges);
  EXPECT_EQ(err, "");
  // A build without a key takes a release with or without one.
  EXPECT_EQ(JudgeDownload(offer, facts, kConsoleSubsystem, "").outcome, DownloadOutcome::kAccepted);
}

TEST_F(UpdateCycleTest, ASecondCheckAsksWhetherTheManifestChangedAndA304JudgesTheKeptOneAgainstTheClock) {
  const UtcSeconds start = host.now + 3600;
  HttpResponse first = Answer(Manifest("rollout_start=2026-12-10T01:00:00Z\nrollout_hours=0\n")).value;
  first.validators.etag = L"\"v1\"";
  host.manifest = first;
  host.download = GoodDownload();
  Run();
  const std::string due = U8(Format(L"版本 %ls 正在分批推送，本机将于 %ls 起更新", kOffer.c_str(), LocalTimeText(start).c_str()));
  EXPECT_EQ(out, "[INFO ] " + due + "\n");
  EXPECT_TRUE(host.asked.at(0).empty());
  ExpectUndone();

  HttpResponse unchanged;
  unchanged.status = 304;
  host.manifest = unchanged;
  Run();
  EXPECT_EQ(host.asked.at(1).etag, L"\"v1\"");
  EXPECT_EQ(report.outcome, CheckOutcome::kNotModified);
  EXPECT_EQ(out + err, "") << "not yet due is said once per release";
  EXPECT_EQ(host.downloads, 0);
  ExpectUndone();

  host.now = start;  // the rollout reached this desktop; nothing changed at the host
  Run();
  EXPECT_EQ(host.downloads, 1);
  EXPECT_EQ(report.outcome, CheckOutcome::kInstalled);
}

TEST_F(UpdateCycleTest, AnAnswerThatIsNoGoodManifestDropsTheKeptOneAndARetryAfterIsSaidOncePerEpisode) {
  HttpResponse first = Answer("version=1.0\nurl=x.exe\n").value;
  first.validators.lastModified = L"Wed, 09 Dec 2026 08:00:00 GMT";
  host.manifest = first;
  Run();
  host.manifest = Answer("garbage");
  Run();
  host.manifest = first;
  Run();
  EXPECT_EQ(host.asked.at(1).lastModified, L"Wed, 09 Dec 2026 08:00:00 GMT");
  EXPECT_TRUE(host.asked.at(2).empty()) << "an unusable manifest is not kept";

  HttpResponse busy;
  busy.status = 503;
  busy.retryAfter = L"120";
  for (int check = 0; check < 2; ++check) {
    host.manifest = Result<HttpResponse>(Status::Failure(), busy);
    Run();
    EXPECT_EQ(report.outcome, CheckOutcome::kRetryAfter);
    EXPECT_EQ(report.retryAfter, L"120");
    EXPECT_EQ(err, check == 0 ? "[WARN ] 更新服务器要求暂缓检查（状态码 503，Retry-After: 120），120 秒内不再检查\n" : "");
  }
  host.manifest = first;
  Run();
  host.manifest = Result<HttpResponse>(Status::Failure(), busy);
  Run();
  EXPECT_NE(err, "") << "a manifest between ends the episode";
  EXPECT_EQ(host.downloads, 0);
}

TEST(JudgeRelease, AKeyedBuildTakesOnlyFreshManifestsAndEachRingItsOwnTimeInTheRollout) {
  ManifestRules rules;
  rules.currentVersion = L"1.0.0.0";
  rules.publisherKey = "K";
  rules.now = 1796860800;  // 2026-12-10T00:00:00Z
  rules.installId = "0123456789abcdef0123456789abcdef";
  UpdateInfo info;
  info.version = L"2.0";
  info.url = L"OKAVU-2.0.exe";
  info.sha256 = FromUtf8(kDigest);
  const auto judge = [&](std::optional<std::wstring> seq, std::optional<std::wstring> expires,
                         std::optional<std::int64_t> highest) {
    info.seq = std::move(seq);
    info.expires = std::move(expires);
    rules.highestSeq = highest;
    const ManifestVerdict verdict = JudgeRelease(info, rules);
    return verdict.outcome == ManifestOutcome::kStale ? verdict.freshness.outcome : Freshness::kFresh;
  };
  EXPECT_EQ(judge(L"7", L"2026-12-09T01:00:00Z", 7), Freshness::kFresh) << "23 h of clock skew";
  EXPECT_EQ(judge(L"7", L"2026-12-08T23:59:59Z", 7), Freshness::kExpired);
  EXPECT_EQ(judge(L"6", L"2027-01-01T00:00:00Z", 7), Freshness::kOlder);
  EXPECT_EQ(judge(std::nullopt, std::nullopt, std::nullopt), Freshness::kFresh) << "taken as before";
  EXPECT_EQ(judge(std::nullopt, L"2027-01-01T00:00:00Z", 7), Freshness::kTermsMissing);

  judge(L"6", L"2027-01-01T00:00:00Z", 7);
  LogWatch watch;
  ConsoleCapture console;
  ReportManifest(JudgeRelease(info, rules), HttpResponse{}, L"1.0.0.0");
  EXPECT_EQ(console.Err(), "[WARN ] 更新清单比本机接受过的旧（seq 6，已接受 7），可能是重放的旧清单，本次不更新\n");
  EXPECT_EQ(watch.NewLines(), std::vector<std::string>{"[WARN] 清单 seq=6 低于已接受的 seq=7，拒绝"});

  info.seq.reset();
  info.expires.reset();
  rules.highestSeq.reset();
  info.rolloutStart = L"2026-12-10T00:00:00Z";
  info.rolloutHours = L"24";
  const auto dueAt = [&](unsigned long ring) {
    rules.ring = RingFromPolicy(ring);
    const ManifestVerdict verdict = JudgeRelease(info, rules);
    return verdict.outcome == ManifestOutcome::kOffered ? rules.now : verdict.dueAt;
  };
  EXPECT_EQ(dueAt(0), rules.now) << "canaries from the start";
  EXPECT_EQ(dueAt(2), rules.now + 24 * 3600) << "the late ring when the rollout reached everyone";
  EXPECT_GT(dueAt(1), rules.now);
  EXPECT_LT(dueAt(1), rules.now + 24 * 3600);
  EXPECT_EQ(dueAt(7), dueAt(1)) << "any other ring is the default";
}

}  // namespace
