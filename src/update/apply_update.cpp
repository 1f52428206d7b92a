// The apply-update helper: runs from a temporary copy, waits for the old process, puts the verified
// download in place of the old executable (keeping the old one until the new one has proved itself),
// starts the new version with the old run's arguments, and puts the old version back and starts it
// again when the new one cannot be installed or does not run.
#include "update/apply_update.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "support/file_version.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/process.h"
#include "support/state.h"
#include "support/system_folders.h"
#include "support/version_number.h"
#include "update/command_line.h"
#include "update/failed_release.h"
#include "update/local_faults.h"
#include "update/manifest.h"
#include "update/sha256.h"
#include "update/update_lock.h"

namespace {

constexpr DWORD kWaitSliceMs = 5000;
constexpr unsigned long kProgressEveryMs = 29999;  // a line once more than this has passed
constexpr unsigned long kGiveUpAfterMs = 300000;
constexpr DWORD kHelperLockWaitMs = 60000;  // the update lock: another process's update of the same target
constexpr int kReplaceAttempts = 60;
constexpr DWORD kReplacePauseMs = 250;
constexpr DWORD kProbationMs = 10000;  // a new version that lives this long (or ends with 0) is good

bool IsOption(const wchar_t* arg, const wchar_t* name) { return std::wcscmp(arg, name) == 0; }

// Returns once the old process has ended, or when it cannot be waited for, or after 5 minutes.
void WaitForOldProcess(int pid) {
  const unsigned long id = static_cast<unsigned long>(pid);
  UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
  if (!process) {
    DWORD err = GetLastError();
    LogLine(LogLevel::kWarn, L"打开旧进程 %lu 句柄失败 (err=%lu)，直接尝试替换", id, err);
    return;
  }
  const DWORD start = GetTickCount();
  OldProcessWait wait;
  for (;;) {
    if (WaitForSingleObject(process.get(), kWaitSliceMs) == WAIT_OBJECT_0) {
      LogLine(LogLevel::kInfo, L"旧进程 %lu 已退出（等待 %lu ms）", id,
              static_cast<unsigned long>(GetTickCount() - start));
      return;
    }
    // Unsigned tick arithmetic: a wrap of the tick count during the wait is harmless.
    const unsigned long elapsed = GetTickCount() - start;
    if (wait.ShouldReport(elapsed)) {
      LogLine(LogLevel::kInfo, L"仍在等待旧进程 %lu 退出（已 %lu 秒）…", id, elapsed / 1000);
    }
    if (OldProcessWait::GiveUp(elapsed)) {
      LogLine(LogLevel::kWarn, L"等待旧进程 %lu 超过 5 分钟，直接尝试替换", id);
      return;
    }
  }
}

// True when the held file has the digest expectedSha256 names; false for a digest that is malformed.
// actualHex receives what the file has.
bool HasDigest(HANDLE held, const std::wstring& expectedSha256, std::string& actualHex) {
  const Result<std::string> expected = NormalizeSha256(expectedSha256);
  const Result<FileHash> actual = HashFile(held);
  actualHex = actual.value.hex;
  return expected && actual && actual.value.hex == expected.value;
}

// True when the held file has the digest the hand-over verified; a mismatch is logged.
bool DigestMatches(HANDLE held, const std::wstring& expectedSha256) {
  std::string actual;
  if (HasDigest(held, expectedSha256, actual)) return true;
  LogLine(LogLevel::kError, L"待替换文件的 SHA256(%hs)与预期(%hs)不符，放弃更新", actual.c_str(),
          NormalizeSha256(expectedSha256).value.c_str());
  return false;
}

// True when fileVersion may be installed for the hand-over's version; a mismatch is logged.
bool VersionMatches(const std::wstring& expectedVersion, const std::wstring& fileVersion) {
  if (HelperVersionAccepted(expectedVersion, fileVersion)) return true;
  LogLine(LogLevel::kError, L"待替换文件版本(%ls)与预期(%ls)不符，放弃更新", fileVersion.c_str(),
          expectedVersion.c_str());
  return false;
}

// MoveFileExW replacing to, written through to the disk before it returns.
Status MoveReplacing(const std::wstring& from, const std::wstring& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? Status::Success()
             : Status::LastError();
}

// One installation: the new file, held from its check to its move, and the backup of the old
// executable, which stays until the new version has proved itself.
class Installation {
 public:
  explicit Installation(const ApplyUpdateArgs& args)
      : args_(args), backup_(BackupPathFor(args.target)), directory_(RestartDirectoryFor(args)) {}

  // Nobody may change or delete the new file while this helper works (it may be missing: another helper
  // installed it).
  void HoldNewFile() { reading_ = HoldForReading(args_.newFile); }

  // Holds the new file (a virus scanner may hold it for a moment) and checks its digest; then keeps
  // the old executable as the backup (the old process may hold it for a moment after it ended) and
  // moves the new file over. kDone, kVersionMismatch (digest) or kReplaceFailed (all retries failed;
  // the old executable is where it was).
  HelperExit Replace() {
    const DWORD start = GetTickCount();
    Result<UniqueFile> held;
    bool checked = false;
    reading_ = Result<UniqueFile>();  // the move needs a hold of its own; its digest check covers the gap
    for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
      if (!held) held = HoldForMove(args_.newFile);
      if (!held && IsMissing(held.error()) && TargetHasExpectedDigest()) {
        // Another helper installed this very release (for another run of the same program) meanwhile;
        // unless the manifest named it with another version than its own.
        if (!VersionMatches(args_.expectedVersion, PeFileVersionString(args_.target).value)) {
          return HelperExit::kVersionMismatch;
        }
        LogLine(LogLevel::kInfo, L"目标已是新版本（由另一个更新帮手装好）：%ls", args_.target.c_str());
        return HelperExit::kDone;
      }
      Status moved = held.status;
      if (held && !checked) {
        if (!DigestMatches(held.value.get(), args_.expectedSha256)) return HelperExit::kVersionMismatch;
        checked = true;
      }
      if (held && !backedUp_) {
        // Renamed aside (which works also while another process still runs it) and then replaced at
        // once: the executable's name is free for as short a time as two renames take.
        moved = MoveReplacing(args_.target, backup_);
        backedUp_ = moved.ok();
      }
      if (held && backedUp_) {
        moved = MoveHeldFile(held.value.get(), args_.target);
        // Never wait for the next attempt without an executable under the name.
        if (!moved) PutOldVersionBack();
      }
      if (moved) {
        LogLine(LogLevel::kInfo, L"已替换为新版本：%ls（替换重试耗时 %lu ms）", args_.target.c_str(),
                static_cast<unsigned long>(GetTickCount() - start));
        LogLine(LogLevel::kInfo, L"旧版本暂存为 %ls，新版本运行正常后删除", backup_.c_str());
        return HelperExit::kDone;
      }
      if (attempt == 0) LogLine(LogLevel::kInfo, L"替换首次失败 (err=%lu)，重试中…", moved.error());
      Sleep(kReplacePauseMs);
    }
    LogLine(LogLevel::kError, L"替换失败，旧版本保持不动：%ls", args_.target.c_str());
    return HelperExit::kReplaceFailed;
  }

  // Starts the new version and watches it for its first seconds; puts the old version back when it
  // cannot be started or ends with an error code in that time.
  void StartAndWatchNewVersion() {
    // Held against writers, and checked once more through the hold, until its process has started: what
    // runs is the release that was verified.
    Result<UniqueFile> held = HoldForReading(args_.target);
    if (!held || !DigestMatches(held.value.get(), args_.expectedSha256)) {
      LogLine(LogLevel::kError, L"新版本启动前无法确认未被改动 (err=%lu)，恢复旧版本", held.error());
      RollBack(false);
      return;
    }
    Result<StartedProcess> started = Start(args_.target);
    held.value.reset();
    if (!started) {
      LogLine(LogLevel::kError, L"拉起新版本失败 (err=%lu)", started.error());
      RollBack(true);
      return;
    }
    LogLine(LogLevel::kInfo, L"已拉起新版本");
    const DWORD start = GetTickCount();
    DWORD exitCode = 0;
    if (WaitForSingleObject(started.value.process.get(), kProbationMs) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(started.value.process.get(), &exitCode) && exitCode != 0) {
      LogLine(LogLevel::kWarn, L"新版本启动后 %lu ms 就以退出码 %lu 结束",
              static_cast<unsigned long>(GetTickCount() - start), static_cast<unsigned long>(exitCode));
      RollBack(true);
      return;
    }
    DropBackup();
    // An install ends the back-off of this computer's earlier faults.
    WriteLocalFaults(0);
  }

  // After a failure that replaced nothing, and that this computer caused (a file that changed after its
  // check, a target that stayed locked): the old version runs again and the download is gone; the release
  // is not remembered, the fault counts towards the back-off.
  void GiveUp() {
    ForgetDownload();
    CountLocalFault();
    StartOldVersion();
  }


  // The run this helper was handed goes on in the old version: under its name, or, where it could not be
  // put back, from its backup.
  void StartOldVersion() {
    if (!backedUp_) {
      Result<StartedProcess> started = Start(args_.target);
      if (started) {
        LogLine(LogLevel::kInfo, L"已重新拉起旧版本");
      } else {
        LogLine(LogLevel::kError, L"重新拉起旧版本失败 (err=%lu)", started.error());
      }
      return;
    }
    // It could not be put back under its name: it runs from the backup, so that the session does not lose
    // the run this helper stopped.
    Result<StartedProcess> started = Start(backup_);
    if (started) {
      LogLine(LogLevel::kWarn, L"旧版本放不回原处，已从备份重新拉起：%ls", backup_.c_str());
    } else {
      LogLine(LogLevel::kError, L"从备份重新拉起旧版本失败 (err=%lu)：%ls", started.error(), backup_.c_str());
    }
  }
 private:
  static bool IsMissing(unsigned long error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

  bool TargetHasExpectedDigest() const {
    const Result<UniqueFile> target = HoldForReading(args_.target);
    std::string actual;
    return target && HasDigest(target.value.get(), args_.expectedSha256, actual);
  }

  static std::wstring RestartDirectoryFor(const ApplyUpdateArgs& args) {
    // The folder the old process ran in, so that relative paths among its arguments still hold.
    const DWORD attributes =
        args.workingDirectory.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(args.workingDirectory.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return args.workingDirectory;
    return RestartDirectory(args.target);
  }

  Result<StartedProcess> Start(const std::wstring& program) const {
    return StartProcess(program, RestartCommandLine(program, args_.forwarded), DETACHED_PROCESS, directory_.c_str());
  }

  void PutOldVersionBack() {
    // The new file (if it got there) gives way; it is the release that failed.
    Status restored = Status::Failure();
    for (int attempt = 0; attempt < kReplaceAttempts && !restored; ++attempt) {
      if (attempt > 0) Sleep(kReplacePauseMs);
      restored = MoveReplacing(backup_, args_.target);
    }
    if (restored) {
      backedUp_ = false;
      LogLine(LogLevel::kInfo, L"已恢复旧版本：%ls", args_.target.c_str());
    } else {
      LogLine(LogLevel::kError, L"恢复旧版本失败 (err=%lu)：%ls", restored.error(), backup_.c_str());
    }
  }

  // The new version did not run: the release's fault when it was the release that ran (it is remembered),
  // this computer's when it could not be started as checked.
  void RollBack(bool releaseAtFault) {
    if (releaseAtFault) {
      RememberFailure();
    } else {
      CountLocalFault();
    }
    if (!backedUp_) return;  // installed by another helper: there is no old version here to go back to
    LogLine(LogLevel::kWarn, L"新版本未能正常运行，恢复旧版本：%ls", args_.target.c_str());
    PutOldVersionBack();
    StartOldVersion();
  }



  void ForgetDownload() {
    reading_ = Result<UniqueFile>();
    if (DeleteFileW(args_.newFile.c_str()))
      LogLine(LogLevel::kInfo, L"已删除未安装的新版本文件：%ls", args_.newFile.c_str());
    static_cast<void>(WriteStateValue(L"PendingNewExe", L""));
  }

  void RememberFailure() {
    if (remembered_) return;
    remembered_ = true;
    RememberFailedRelease(args_.expectedVersion, args_.expectedSha256);
  }

  void DropBackup() {
    if (!backedUp_) return;
    if (DeleteFileW(backup_.c_str())) {
      LogLine(LogLevel::kInfo, L"新版本运行正常，已删除旧版本备份：%ls", backup_.c_str());
    } else {
      // Another process of the same program may still run from it; the next update replaces it.
      LogLine(LogLevel::kWarn, L"旧版本备份暂时删不掉 (err=%lu)：%ls", static_cast<unsigned long>(GetLastError()),
              backup_.c_str());
    }
    backedUp_ = false;
  }

  const ApplyUpdateArgs& args_;
  const std::wstring backup_;
  const std::wstring directory_;
  Result<UniqueFile> reading_;
  bool backedUp_ = false;
  bool remembered_ = false;
};

}  // namespace

bool ParseApplyUpdateArgs(int argc, const wchar_t* const* argv, ApplyUpdateArgs& args) {
  args = ApplyUpdateArgs{};
  if (argc < 3) return false;
  for (int i = 2; i < argc; ++i) {
    const wchar_t* arg = argv[i];
    if (IsOption(arg, L"--")) {
      args.forwarded.assign(argv + i + 1, argv + argc);
      break;
    }
    const bool hasValue = i + 1 < argc;
    if (hasValue && IsOption(arg, L"--target")) {
      args.target = argv[++i];
    } else if (hasValue && IsOption(arg, L"--new")) {
      args.newFile = argv[++i];
    } else if (hasValue && IsOption(arg, L"--pid")) {
      args.pid = _wtoi(argv[++i]);
    } else if (hasValue && IsOption(arg, L"--ver")) {
      args.expectedVersion = argv[++i];
    } else if (hasValue && IsOption(arg, L"--sha256")) {
      args.expectedSha256 = argv[++i];
      args.hasSha256 = true;
    } else if (hasValue && IsOption(arg, L"--cwd")) {
      args.workingDirectory = argv[++i];
    }
    // Anything else, and an option without its value, is skipped.
  }
  // The helper never replaces a file without checking both its version and its digest.
  return !args.target.empty() && !args.newFile.empty() && !args.expectedVersion.empty() &&
         args.expectedVersion != L"-" && args.hasSha256 && NormalizeSha256(args.expectedSha256).ok();
}

std::wstring BackupPathFor(const std::wstring& target) { return target + L".old"; }

bool HelperVersionAccepted(const std::wstring& expectedVersion, const std::wstring& fileVersion) {
  return !fileVersion.empty() && (fileVersion == expectedVersion || SameVersionNumbers(expectedVersion, fileVersion));
}

std::wstring RestartCommandLine(const std::wstring& target, const std::vector<std::wstring>& forwarded) {
  // The program name is read up to its closing quote without escapes; a path holds no quote.
  std::wstring line = L"\"" + target + L"\"";
  for (const std::wstring& arg : forwarded) {
    line.push_back(L' ');
    AppendQuotedArgument(line, arg);
  }
  return line;
}

std::wstring RestartDirectory(const std::wstring& target) { return FolderOf(target, target); }

bool OldProcessWait::ShouldReport(unsigned long elapsedMs) {
  if (elapsedMs - lastReportMs <= kProgressEveryMs) return false;
  lastReportMs = elapsedMs;
  return true;
}

bool OldProcessWait::GiveUp(unsigned long elapsedMs) { return elapsedMs > kGiveUpAfterMs; }

HelperExit ApplyUpdateMode(int argc, const wchar_t* const* argv) {
  ApplyUpdateArgs args;
  if (!ParseApplyUpdateArgs(argc, argv, args)) return HelperExit::kUsage;

  const std::wstring self = ModulePath();
  if (!self.empty() && SamePath(self, args.target)) {
    LogLine(LogLevel::kError, L"目标路径指向帮手自身，参数错误，放弃");
    return HelperExit::kTargetIsSelf;
  }

  Installation installation(args);
  // One update of the target at a time, across sessions and users: the lock file beside it, which the
  // process that started this helper keeps to its end. A lock that stays taken (another process's
  // update, or someone who holds it for good) never leaves the session without the run this helper
  // stopped.
  Result<UniqueFile> lock = TakeUpdateLock(args.target, 0);
  if (!lock && lock.error() == WAIT_TIMEOUT) {
    LogLine(LogLevel::kInfo, L"另一个进程正在更新同一程序，等它完成（最多 %lu 秒）", kHelperLockWaitMs / 1000);
    lock = TakeUpdateLock(args.target, kHelperLockWaitMs);
  }
  if (!lock) {
    LogLine(LogLevel::kWarn, L"拿不到本程序的更新锁 (err=%lu)：%ls，放弃本次更新", lock.error(),
            UpdateLockPath(args.target).c_str());
    CountLocalFault();
    installation.StartOldVersion();
    return HelperExit::kDone;
  }
  // From here nobody writes the download; it is checked again under the move's own hold.
  installation.HoldNewFile();

  if (args.pid != 0) WaitForOldProcess(args.pid);

  // A file whose version cannot be read is refused as one of another version. A file that is gone may have
  // been installed by another helper; the replacement finds that out by the target's digest.
  if (IsExistingFile(args.newFile) && !VersionMatches(args.expectedVersion, PeFileVersionString(args.newFile).value)) {
    installation.GiveUp();
    return HelperExit::kVersionMismatch;
  }

  const HelperExit replaced = installation.Replace();
  if (replaced != HelperExit::kDone) {
    installation.GiveUp();
    return replaced;
  }

  static_cast<void>(WriteStateValue(L"PendingNewExe", L""));
  installation.StartAndWatchNewVersion();
  return HelperExit::kDone;
}
