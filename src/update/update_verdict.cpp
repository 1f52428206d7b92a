// The update cycle's decisions and their messages.
#include "update/update_verdict.h"

#include "support/clock.h"
#include "support/console.h"
#include "support/log.h"
#include "support/report.h"
#include "support/text.h"
#include "update/request_error.h"
#include "update/sha256.h"

namespace {

const wchar_t* BuildName(unsigned subsystem) {
  switch (subsystem) {
    case kWindowlessSubsystem:
      return L"无窗口版";
    case kConsoleSubsystem:
      return L"控制台版";
    default:
      return L"未知的程序";
  }
}

// This desktop's share point for a release. One that cannot be computed is the last: such a desktop
// waits for the whole rollout.
std::uint64_t ReleaseSharePoint(const std::string& installId, const std::wstring& sha256) {
  if (installId.empty()) return ~std::uint64_t{0};
  const std::string text = ShareText(installId, ToUtf8(sha256));
  Sha256Hasher hasher;
  hasher.Add(text.data(), text.size());
  const Result<Sha256Digest> digest = hasher.Finish();
  return digest ? SharePoint(digest.value) : ~std::uint64_t{0};
}

// A signed manifest that is not fresh: a replayed old one, or one its publisher let expire.
void ReportStale(const ManifestVerdict& verdict) {
  const FreshnessVerdict& fresh = verdict.freshness;
  const UpdateInfo& info = verdict.info;
  switch (fresh.outcome) {
    case Freshness::kOlder:
      Report(ConsoleLevel::kWarn, L"更新清单比本机接受过的旧（seq %lld，已接受 %lld），可能是重放的旧清单，本次不更新",
             LogLevel::kWarn, L"清单 seq=%lld 低于已接受的 seq=%lld，拒绝", fresh.seq, fresh.highestSeq);
      return;
    case Freshness::kExpired:
      Report(ConsoleLevel::kWarn, L"更新清单已于 %ls 过期，本次不更新（须由发布者重新签名）", LogLevel::kWarn,
             L"清单已于 %ls 过期（expires=%ls），拒绝", LocalTimeText(fresh.expires).c_str(), FormatUtcTime(fresh.expires).c_str());
      return;
    case Freshness::kTermsMissing:
      Report(ConsoleLevel::kWarn, L"更新清单缺少 seq 或 expires，而本机接受过带这两项的清单（seq %lld），本次不更新",
             LogLevel::kWarn, L"清单缺少 seq/expires（已接受过 seq=%lld），拒绝", fresh.highestSeq);
      return;
    case Freshness::kMalformed:
      Report(ConsoleLevel::kWarn, L"更新清单的 seq 或 expires 格式不对，本次不更新", LogLevel::kWarn,
             L"清单 seq/expires 格式不对：seq=%ls expires=%ls，拒绝", info.seq.value_or(L"").c_str(),
             info.expires.value_or(L"").c_str());
      return;
    case Freshness::kFresh:
    case Freshness::kUnchecked:
      return;
  }
}

}  // namespace

ManifestVerdict ReadManifestBody(const std::string& signedBody, const ManifestRules& rules) {
  ManifestVerdict verdict;
  std::string body = signedBody;
  if (!rules.publisherKey.empty()) {
    CheckedManifest checked = CheckManifestSignature(body, rules.publisherKey);
    verdict.signature = checked.check;
    if (checked.check != SignatureCheck::kValid) {
      verdict.outcome = ManifestOutcome::kSignatureRefused;
      return verdict;
    }
    body = std::move(checked.signedPart);
  }
  const std::wstring text = FromUtf8(body);
  Result<UpdateInfo> parsed = ParseManifest(text, rules.reader);
  verdict.info = std::move(parsed.value);
  const bool consoleOnly = verdict.info.consoleOnly && !verdict.info.version.empty();
  verdict.outcome = consoleOnly || (!text.empty() && parsed) ? ManifestOutcome::kOffered : ManifestOutcome::kUnusable;
  return verdict;
}

ManifestVerdict JudgeRelease(const UpdateInfo& offered, const ManifestRules& rules) {
  ManifestVerdict verdict;
  verdict.info = offered;
  const UpdateInfo& info = verdict.info;
  const auto decide = [&verdict](ManifestOutcome outcome) {
    verdict.outcome = outcome;
    return verdict;
  };
  if (!rules.publisherKey.empty()) {
    verdict.freshness = JudgeFreshness(info.seq, info.expires, rules.highestSeq, rules.now);
    if (!IsFreshEnough(verdict.freshness.outcome)) return decide(ManifestOutcome::kStale);
  }
  if (info.consoleOnly) {
    return decide(IsNewerVersion(info.version, rules.currentVersion) ? ManifestOutcome::kConsoleOnly
                                                                     : ManifestOutcome::kNotNewer);
  }
  if (!IsNewerVersion(info.version, rules.currentVersion)) return decide(ManifestOutcome::kNotNewer);
  if (!rules.maxVersion.empty() && IsNewerVersion(info.version, rules.maxVersion)) {
    return decide(ManifestOutcome::kAboveMaxVersion);
  }
  if (IsFailedRelease(rules.failed, info.version, ReleaseDigest(info), rules.thisComputer)) {
    return decide(ManifestOutcome::kFailedBefore);
  }
  Result<std::wstring> path = ResolveDownloadPath(info.url);
  if (!path) return decide(ManifestOutcome::kLocationRefused);
  const RolloutDecision rollout = DecideRollout(ReadRolloutTerms(info.rolloutStart, info.rolloutHours),
                                                ReleaseSharePoint(rules.installId, info.sha256), rules.ring, rules.now);
  if (!rollout.due) {
    verdict.dueAt = rollout.dueAt;
    return decide(ManifestOutcome::kNotYetDue);
  }
  verdict.requestPath = std::move(path.value);
  return decide(ManifestOutcome::kOffered);
}

DownloadVerdict JudgeDownload(const UpdateInfo& offer, const DownloadFacts& facts, unsigned subsystem,
                              const std::string& publisherKey) {
  DownloadVerdict verdict;
  verdict.subsystem = subsystem;
  if (!facts.fetch) return verdict;
  if (!facts.readable) {
    verdict.outcome = DownloadOutcome::kUnreadable;
    return verdict;
  }
  if (offer.size > 0 && static_cast<unsigned long long>(offer.size) != facts.size) {
    verdict.outcome = DownloadOutcome::kSizeDiffers;
    return verdict;
  }
  Result<std::string> expected = NormalizeSha256(offer.sha256);
  verdict.expectedDigest = std::move(expected.value);
  if (!expected) {
    verdict.outcome = DownloadOutcome::kDigestMalformed;
  } else if (facts.digest.size() != 64 || facts.digest != verdict.expectedDigest) {
    verdict.outcome = DownloadOutcome::kDigestDiffers;
  } else if (!facts.hasVersion) {
    verdict.outcome = DownloadOutcome::kNoVersionResource;
  } else if (!SameVersionNumbers(facts.fileVersion, offer.version)) {
    // '1.7' matches '1.7.0.0'.
    verdict.outcome = DownloadOutcome::kVersionDiffers;
  } else if (subsystem != 0 && facts.subsystem != subsystem) {
    verdict.outcome = DownloadOutcome::kWrongBuild;
  } else if (!publisherKey.empty() && facts.publisherKey.empty()) {
    // Installed, it would take unsigned manifests from then on: the signature would be lost for good.
    verdict.outcome = DownloadOutcome::kNoPublisherKey;
  } else {
    verdict.outcome = DownloadOutcome::kAccepted;
    // The running key signed the manifest that names the release: that is how a key moves on.
    verdict.publisherKeyChanges = !publisherKey.empty() && facts.publisherKey != publisherKey;
  }
  return verdict;
}

void ReportManifest(const ManifestVerdict& verdict, const Result<HttpResponse>& fetch,
                    const std::wstring& currentVersion) {
  const UpdateInfo& info = verdict.info;
  switch (verdict.outcome) {
    case ManifestOutcome::kFetchFailed:
      LogLine(LogLevel::kWarn, L"更新检查失败：ok=%d 状态码=%lu", fetch.ok() ? 1 : 0, fetch.value.status);
      if (fetch.error() != 0) {
        LogLine(LogLevel::kWarn, L"更新检查失败原因：%ls", DescribeRequestError(fetch.error()).c_str());
      }
      return;
    case ManifestOutcome::kSignatureRefused:
      Report(ConsoleLevel::kWarn, L"更新清单的签名不可信（%ls），本次不更新", LogLevel::kWarn, L"清单签名校验失败：%ls",
             SignatureCheckText(verdict.signature));
      return;
    case ManifestOutcome::kUnusable:
      LogLine(LogLevel::kWarn, L"清单格式不对，忽略");
      return;
    case ManifestOutcome::kStale:
      ReportStale(verdict);
      return;
    case ManifestOutcome::kNotYetDue:
      Report(ConsoleLevel::kInfo, L"版本 %ls 正在分批推送，本机将于 %ls 起更新", LogLevel::kInfo,
             L"版本 %ls 分批推送中，本机 %ls 起更新（rollout_start=%ls rollout_hours=%ls）", info.version.c_str(),
             LocalTimeText(verdict.dueAt).c_str(), info.rolloutStart.value_or(L"").c_str(),
             info.rolloutHours.value_or(L"").c_str());
      return;
    case ManifestOutcome::kNotNewer:
    case ManifestOutcome::kFailedBefore:  // these three are told once per process by the cycle
    case ManifestOutcome::kAboveMaxVersion:
    case ManifestOutcome::kConsoleOnly:
      return;
    case ManifestOutcome::kLocationRefused:
    case ManifestOutcome::kOffered:
      break;
  }
  Report(ConsoleLevel::kInfo, L"发现新版本 %ls（当前 %ls），开始下载…", LogLevel::kInfo, L"发现新版本 %ls（当前 %ls）",
         info.version.c_str(), currentVersion.c_str());
  if (verdict.outcome == ManifestOutcome::kLocationRefused) {
    Report(ConsoleLevel::kError, L"下载地址不被允许：%ls", LogLevel::kError, L"下载地址不被允许：%ls",
           info.url.c_str());
  }
}

bool IsFaultOfTheRelease(DownloadOutcome outcome) {
  switch (outcome) {
    case DownloadOutcome::kSizeDiffers:
    case DownloadOutcome::kDigestMalformed:
    case DownloadOutcome::kDigestDiffers:
    case DownloadOutcome::kNoVersionResource:
    case DownloadOutcome::kVersionDiffers:
    case DownloadOutcome::kWrongBuild:
    case DownloadOutcome::kNoPublisherKey:
      return true;
    case DownloadOutcome::kFetchFailed:
    case DownloadOutcome::kUnreadable:
    case DownloadOutcome::kAccepted:
      break;
  }
  return false;
}

void ReportDownload(const DownloadVerdict& verdict, const DownloadFacts& facts, const UpdateInfo& offer) {
  const size_t actualSize = static_cast<size_t>(facts.size);
  switch (verdict.outcome) {
    case DownloadOutcome::kFetchFailed:
      Report(ConsoleLevel::kError, L"下载失败（状态码 %lu）", LogLevel::kError, L"下载失败：状态码 %lu",
             facts.fetch.value.status);
      if (facts.fetch.error() != 0) {
        LogLine(LogLevel::kError, L"下载失败原因：%ls", DescribeRequestError(facts.fetch.error()).c_str());
      }
      return;
    case DownloadOutcome::kUnreadable:
      LogLine(LogLevel::kError, L"下载文件读不出");
      return;
    case DownloadOutcome::kSizeDiffers:
      Report(ConsoleLevel::kError, L"体积不符：期望 %lld 实际 %zu，放弃更新", LogLevel::kError,
             L"体积不符：期望 %lld 实际 %zu", offer.size, actualSize);
      return;
    case DownloadOutcome::kDigestMalformed:
      // The console line names nothing of the value; the log names it as the manifest wrote it (escaped).
      Fail(L"清单里的 sha256 不是 64 位十六进制，拒绝更新（清单写错了？）");
      LogLine(LogLevel::kError, L"清单 sha256 非法：%ls", offer.sha256.c_str());
      return;
    case DownloadOutcome::kDigestDiffers:
      Report(ConsoleLevel::kError, L"SHA256 校验失败，放弃更新", LogLevel::kError,
             L"SHA256 校验失败，期望 %hs 实际 %hs", verdict.expectedDigest.c_str(), facts.digest.c_str());
      return;
    case DownloadOutcome::kNoVersionResource:
    case DownloadOutcome::kVersionDiffers:
    case DownloadOutcome::kWrongBuild:
    case DownloadOutcome::kNoPublisherKey:
    case DownloadOutcome::kAccepted:
      break;
  }
  // Size and digest passed. The log keeps that fact whatever follows; the console calls a check passed
  // only for a file the program keeps.
  const bool accepted = verdict.outcome == DownloadOutcome::kAccepted;
  if (accepted) {
    Report(ConsoleLevel::kOk, L"下载完成并通过校验：%zu 字节，SHA256 %hs", LogLevel::kInfo,
           L"下载校验通过：%zu 字节 sha256=%hs", actualSize, facts.digest.c_str());
  } else {
    LogLine(LogLevel::kInfo, L"下载校验通过：%zu 字节 sha256=%hs", actualSize, facts.digest.c_str());
  }
  if (verdict.outcome == DownloadOutcome::kNoVersionResource) {
    Report(ConsoleLevel::kError, L"下载的 exe 没有版本资源，拒绝安装（请确认上传的是正确构建）", LogLevel::kError,
           L"下载的 exe 缺少版本资源，拒绝安装");
  } else if (verdict.outcome == DownloadOutcome::kVersionDiffers) {
    Report(ConsoleLevel::kError, L"下载包版本(%ls)与清单(%ls)不一致，拒绝安装", LogLevel::kError,
           L"下载包版本 %ls 与清单 %ls 不一致，拒绝安装", facts.fileVersion.c_str(), offer.version.c_str());
  } else if (verdict.outcome == DownloadOutcome::kWrongBuild) {
    // Two calls: the log line takes the subsystem number between the two names, which the console's
    // format, reading the same arguments in the same order, would take for a text.
    Fail(L"下载的是%ls，本程序是%ls，拒绝安装（清单的下载地址写错了？）", BuildName(facts.subsystem),
         BuildName(verdict.subsystem));
    LogLine(LogLevel::kError, L"下载包是%ls（子系统 %u），本程序是%ls，拒绝安装", BuildName(facts.subsystem),
            facts.subsystem, BuildName(verdict.subsystem));
  } else if (verdict.outcome == DownloadOutcome::kNoPublisherKey) {
    Report(ConsoleLevel::kWarn, L"新版本 %ls 不带发布者公钥：装上它就不再校验更新清单的签名，拒绝安装（请用带公钥的构建发布）",
           LogLevel::kWarn, L"新版本 %ls 不带发布者公钥，装上后不再校验签名，拒绝安装", offer.version.c_str());
  } else {
    Ok(L"新包版本资源确认：%ls", facts.fileVersion.c_str());
    if (verdict.publisherKeyChanges) {
      Report(ConsoleLevel::kWarn, L"新版本 %ls 换用新的发布者公钥：此后的更新须由新密钥签名", LogLevel::kWarn,
             L"新版本 %ls 换用新的发布者公钥", offer.version.c_str());
    }
  }
}
