// The update cycle: what arrived is judged by the verdict functions; this file only fetches, reads
// back, undoes and hands over.
#include "update/update_cycle.h"

#include <windows.h>

#include "support/clock.h"
#include "support/computer.h"
#include "support/file_version.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/paths.h"
#include "support/program_build.h"
#include "support/report.h"
#include "support/system_folders.h"
#include "support/text.h"
#include "update/apply_update.h"
#include "update/handover.h"
#include "update/publisher_key.h"
#include "update/sha256.h"
#include "update/update_lock.h"
#include "update/update_memory.h"
#include "version.h"

namespace {

// The download goes next to the running executable, so the helper's move stays on one volume; each
// build has a name of its own, so the two can update side by side in one folder.
std::wstring NewExePath() {
  return Join(FolderOf(ModulePath(), L"."), RunningWindowless() ? kWindowlessNewExeName : kNewExeName);
}

// The PE subsystem in the file's first bytes; 0 when they are no PE header.
unsigned ReadSubsystem(HANDLE file) {
  unsigned char head[4096];
  DWORD read = 0;
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !ReadFile(file, head, sizeof(head), &read, nullptr)) {
    return 0;
  }
  return PeSubsystem(head, read).value_or(0);
}

DownloadFacts Download(HttpSession& session, const std::wstring& requestPath, const std::wstring& file,
                       const UpdateInfo& offer) {
  DownloadFacts facts;
  facts.fetch = HttpFetchToFile(session, requestPath, file, kDownloadTimeoutMs);
  if (!facts.fetch) return facts;
  // The bytes hashed, and everything read from them, are the ones that stay: nobody may write the file
  // from here to the helper's own hold.
  Result<UniqueFile> held = HoldForReading(file);
  if (!held) return facts;
  facts.held = std::make_shared<UniqueFile>(std::move(held.value));
  Result<FileHash> hashed = HashFile(facts.held->get());
  if (!hashed || hashed.value.bytes == 0) return facts;
  facts.readable = true;
  facts.size = hashed.value.bytes;
  facts.digest = hashed.value.hex;
  // Nothing more is read from a file that is not the release the manifest names.
  const Result<std::string> expected = NormalizeSha256(offer.sha256);
  const bool sizeMatches = offer.size <= 0 || static_cast<unsigned long long>(offer.size) == facts.size;
  if (!sizeMatches || !expected || expected.value != facts.digest) return facts;
  facts.subsystem = ReadSubsystem(facts.held->get());
  Result<std::wstring> version = PeFileVersionString(file);
  facts.hasVersion = version.ok();
  facts.fileVersion = std::move(version.value);
  facts.publisherKey = PublisherKeyOfFile(file).value;
  return facts;
}

bool InstalledAlready(const std::string& sha256) {
  // By its digest alone: the version resource of a file by the running module's own path is read from
  // the loaded module, not from the file. The helper checks the version of what it finds installed.
  const Result<UniqueFile> held = HoldForReading(ModulePath());
  if (sha256.empty() || !held) return false;
  const Result<FileHash> hashed = HashFile(held.value.get());
  return hashed && hashed.value.hex == sha256;
}

// What an answer means for the pace of checks, with what the host asked for.
CheckReport AnswerReport(CheckOutcome outcome, const HttpResponse& answer, UtcSeconds clock) {
  CheckReport report;
  report.outcome = outcome;
  if (outcome == CheckOutcome::kRetryAfter) {
    report.retryAfter = answer.retryAfter;
    report.date = answer.date;
    report.clock = clock;
  }
  return report;
}

// What a manifest request means for the pace of checks.
CheckOutcome ManifestAnswer(const Result<HttpResponse>& manifest) {
  if (manifest) return manifest.value.status == 304 ? CheckOutcome::kNotModified : CheckOutcome::kManifest;
  if (manifest.value.status == 200) return CheckOutcome::kManifest;
  return ClassifyAnswer(manifest.value.status, manifest.value.retryAfter);
}

// What a download that was not refused for the release's sake means: the host's trouble when it did not
// answer with the file, this computer's when the file could not be written or read back.
CheckOutcome DownloadFailure(const DownloadFacts& facts) {
  const unsigned long status = facts.fetch.value.status;
  if (!facts.fetch && status != 200) return ClassifyAnswer(status, facts.fetch.value.retryAfter);
  const unsigned long error = facts.fetch.error();
  if (!facts.fetch && (error == ERROR_FILE_TOO_LARGE || (error >= 12000 && error <= 12199) || error == 0)) {
    return CheckOutcome::kHostError;  // an answer cut short or too large
  }
  return CheckOutcome::kLocalFault;
}

// The host's own pace, said once until a manifest arrives again.
void TellRetryAfter(UpdateChannel& channel, const CheckReport& report, unsigned long status) {
  const std::optional<std::int64_t> seconds = RetryAfterSeconds(report.retryAfter, report.date, report.clock);
  if (!seconds || !channel.FirstTime(L"retry-after")) return;
  Report(ConsoleLevel::kWarn, L"更新服务器要求暂缓检查（状态码 %lu，Retry-After: %ls），%lld 秒内不再检查",
         LogLevel::kWarn, L"服务器回 %lu，Retry-After: %ls，%lld 秒内不再检查", status, report.retryAfter.c_str(),
         static_cast<long long>(*seconds));
}

// The manifest this check judges: the one that arrived, or on a 304 the kept one again. A manifest that
// arrived replaces the kept one when it passed every check and came with validators; otherwise nothing is
// kept, so the next request asks unconditionally.
ManifestVerdict JudgeAnswer(UpdateChannel& channel, const UpdateSystem& system, const Result<HttpResponse>& manifest,
                            ManifestRules rules) {
  const auto judge = [&](const UpdateInfo& info) {
    // The install id is made only for a staged rollout: a desktop that never meets one stores nothing.
    if (info.rolloutStart) rules.installId = system.installId();
    return JudgeRelease(info, rules);
  };
  std::optional<KeptManifest>& kept = channel.keptManifest();
  if (manifest && manifest.value.status == 304) return kept ? judge(kept->info) : ManifestVerdict{};
  if (!manifest) return {};
  kept.reset();
  ManifestVerdict verdict = ReadManifestBody(manifest.value.body, rules);
  if (verdict.outcome != ManifestOutcome::kOffered) return verdict;
  verdict = judge(verdict.info);
  if (verdict.outcome != ManifestOutcome::kStale && !manifest.value.validators.empty()) {
    kept = KeptManifest{verdict.info, manifest.value.validators};
  }
  return verdict;
}

// A skip that a watcher meets at every check is told once, until something else came between.
template <typename... Args>
void TellOnce(UpdateChannel& channel, const std::wstring& key, const wchar_t* consoleFormat, const wchar_t* logFormat,
              Args... args) {
  if (channel.FirstNotice(key)) Report(ConsoleLevel::kInfo, consoleFormat, LogLevel::kInfo, logFormat, args...);
}

}  // namespace

UpdateSystem SystemUpdate(HttpSession& session) {
  UpdateSystem system;
  system.publisherKey = EmbeddedPublisherKey();
  system.subsystem = RunningSubsystem();
  system.computer = ThisComputerName();
  system.fetchManifest = [&session](const Validators& ask) {
    return HttpFetch(session, kManifestPath, kManifestTimeoutMs, kManifestLimit, ask);
  };
  system.now = UtcNow;
  system.highestSeq = ReadManifestSeq;
  system.rememberSeq = RememberManifestSeq;
  system.installId = InstallId;
  system.failedRelease = ReadFailedRelease;
  system.rememberFailure = RememberFailedRelease;
  system.lockExecutable = [] { return TakeUpdateLock(ModulePath(), 0); };
  system.installedAlready = InstalledAlready;
  system.downloadPath = NewExePath;
  system.download = [&session](const std::wstring& requestPath, const std::wstring& file, const UpdateInfo& offer) {
    return Download(session, requestPath, file, offer);
  };
  system.deleteFile = [](const std::wstring& file) { DeleteFileW(file.c_str()); };
  system.handOver = LaunchUpdateHelper;
  return system;
}

CheckReport DoUpdateCycle(UpdateChannel& channel, const UpdatePolicy& policy) {
  return DoUpdateCycleWith(channel, SystemUpdate(channel.session()), policy);
}

CheckReport DoUpdateCycleWith(UpdateChannel& channel, const UpdateSystem& system, const UpdatePolicy& policy) {
  CheckReport report;
  report.outcome = CheckOutcome::kManifest;  // nothing asked, nothing failed: the plain interval
  if (!channel.TryBeginCycle()) return report;
  // Every way out but a hand-over removes the download (once it is ours) and frees the next cycle.
  std::wstring newExe;
  ScopeExit guard([&] {
    if (!newExe.empty()) system.deleteFile(newExe);
    channel.EndCycle();
  });

  // The policy as it stands now: an administrator who turns updates off stops the next request.
  const std::wstring disabledKey = L"disabled " + policy.disabledBy;
  if (policy.disableUpdates) {
    if (channel.FirstTime(disabledKey)) {
      Report(ConsoleLevel::kInfo, L"自动更新：已被策略禁用（%ls）", LogLevel::kInfo, L"自动更新已被策略禁用（%ls）",
             policy.disabledBy.c_str());
    }
    return report;
  }
  channel.Forget(disabledKey);

  const std::optional<KeptManifest>& kept = channel.keptManifest();
  const Result<HttpResponse> manifest = system.fetchManifest(kept ? kept->validators : Validators{});
  const UtcSeconds now = system.now();
  report = AnswerReport(ManifestAnswer(manifest), manifest.value, now);
  if (report.outcome == CheckOutcome::kRetryAfter) TellRetryAfter(channel, report, manifest.value.status);
  if (report.outcome == CheckOutcome::kManifest || report.outcome == CheckOutcome::kNotModified) {
    channel.Forget(L"retry-after");
  }
  ManifestRules rules;
  rules.currentVersion = kAppVersion;
  rules.publisherKey = system.publisherKey;
  rules.failed = system.failedRelease();
  rules.thisComputer = system.computer;
  rules.maxVersion = policy.maxVersion;
  rules.reader = system.subsystem == kWindowlessSubsystem ? ManifestReader::kWindowless : ManifestReader::kConsole;
  rules.now = now;
  rules.highestSeq = system.highestSeq();
  rules.ring = RingFromPolicy(policy.ring);
  const ManifestVerdict offer = JudgeAnswer(channel, system, manifest, rules);
  const UpdateInfo& info = offer.info;
  const FreshnessVerdict& fresh = offer.freshness;
  if (fresh.outcome == Freshness::kFresh && fresh.seq > rules.highestSeq.value_or(0)) system.rememberSeq(fresh.seq);
  if (offer.outcome == ManifestOutcome::kStale) {
    if (channel.FirstTime(L"stale " + std::to_wstring(static_cast<int>(fresh.outcome)) + L" " + info.seq.value_or(L""))) {
      ReportManifest(offer, manifest, kAppVersion);
    }
    return report;
  }
  if (offer.outcome == ManifestOutcome::kNotYetDue) {
    if (channel.FirstTime(L"due " + info.version + L" " + info.sha256 + L" " + std::to_wstring(offer.dueAt))) {
      ReportManifest(offer, manifest, kAppVersion);
    }
    return report;
  }
  if (offer.outcome == ManifestOutcome::kAboveMaxVersion) {
    TellOnce(channel, L"max " + info.version, L"版本 %ls 高于策略允许的最高版本 %ls，不更新",
             L"版本 %ls 高于策略 MaxVersion=%ls，不更新", info.version.c_str(), rules.maxVersion.c_str());
    return report;
  }
  if (offer.outcome == ManifestOutcome::kConsoleOnly) {
    TellOnce(channel, L"console " + info.version, L"清单里的版本 %ls 没有无窗口版（windowless_url），本次不更新",
             L"清单的版本 %ls 没有无窗口版下载地址，不更新", info.version.c_str());
    return report;
  }
  if (offer.outcome == ManifestOutcome::kFailedBefore) {
    TellOnce(channel, L"failed " + info.version + L" " + info.sha256,
             L"版本 %ls 上次安装失败，不再下载（清单换了版本或摘要才会再试）", L"跳过上次安装失败的版本 %ls",
             info.version.c_str());
    return report;
  }
  if (offer.outcome != ManifestOutcome::kOffered) {
    ReportManifest(offer, manifest, kAppVersion);
    return report;
  }

  // One process at a time downloads and installs this executable; the others try at their next check.
  Result<UniqueFile> lock = system.lockExecutable();
  if (!lock && lock.error() == WAIT_TIMEOUT) {
    TellOnce(channel, L"busy", L"另一个进程正在更新本程序，本次检查跳过", L"另一个进程正在更新本程序，跳过本次检查");
    return report;
  }
  if (!lock) {
    TellOnce(channel, L"lock " + std::to_wstring(lock.error()),
             L"无法在程序所在文件夹建立更新锁 (err=%lu)，本次不更新，稍后再试", L"建立更新锁失败 (err=%lu)，稍后再试",
             lock.error());
    report.outcome = CheckOutcome::kLocalFault;
    return report;
  }
  // The release as the manifest names it: the one remembered when it fails, whatever step it fails at.
  const std::string digest = NormalizeSha256(info.sha256).value;
  const auto remember = [&] { system.rememberFailure(info.version, ReleaseDigest(info)); };
  const std::wstring file = system.downloadPath();
  // A leftover of an earlier run goes first; while the lock is held no helper holds it.
  system.deleteFile(file);

  if (system.installedAlready(digest)) {
    // The new version is in place already; only this process still runs the old one.
    Report(ConsoleLevel::kInfo, L"程序文件已由另一个进程更新为版本 %ls，交给更新帮手重新启动", LogLevel::kInfo,
           L"程序文件已是新版本 %ls，不再下载，交给更新帮手重新启动", info.version.c_str());
    if (!system.handOver(info, file, digest, channel)) {
      report.outcome = CheckOutcome::kLocalFault;
      return report;
    }
    guard.release();
    channel.KeepUntilTheEnd(std::move(lock.value), nullptr);
    report.outcome = CheckOutcome::kInstalled;
    return report;
  }

  ReportManifest(offer, manifest, kAppVersion);
  newExe = file;
  const DownloadFacts facts = system.download(offer.requestPath, file, info);
  const DownloadVerdict verdict = JudgeDownload(info, facts, system.subsystem, system.publisherKey);
  ReportDownload(verdict, facts, info);
  if (verdict.outcome != DownloadOutcome::kAccepted) {
    if (IsFaultOfTheRelease(verdict.outcome)) {
      remember();
    } else {
      report = AnswerReport(DownloadFailure(facts), facts.fetch.value, system.now());
    }
    return report;
  }

  // A helper that cannot be made or started is this computer's trouble, not the release's: it is tried
  // again after the back-off, not remembered.
  if (!system.handOver(info, file, facts.digest, channel)) {
    report.outcome = CheckOutcome::kLocalFault;
    return report;
  }
  guard.release();
  // The helper takes both over once this process has ended, and checks the file again under its own hold.
  channel.KeepUntilTheEnd(std::move(lock.value), facts.held);
  report.outcome = CheckOutcome::kInstalled;
  return report;
}
