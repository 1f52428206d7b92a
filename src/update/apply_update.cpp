// The apply-update helper: runs from a temporary copy, waits for the old process, moves the verified
// download over the old executable and starts the new version with the old run's arguments.
#include "update/apply_update.h"

#include <windows.h>

#include <cwchar>
#include <cstdlib>

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
#include "update/manifest.h"
#include "update/sha256.h"

namespace {

constexpr wchar_t kMutexPrefix[] = L"Local\\OKAVU_ApplyUpdate_";
constexpr DWORD kWaitSliceMs = 5000;
constexpr unsigned long kProgressEveryMs = 29999;  // a line once more than this has passed
constexpr unsigned long kGiveUpAfterMs = 300000;
constexpr int kReplaceAttempts = 60;
constexpr DWORD kReplacePauseMs = 250;

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

// True when the held file has the digest the hand-over verified (or none was given); a mismatch is logged.
bool DigestMatches(HANDLE held, const std::optional<std::wstring>& expectedSha256) {
  if (!expectedSha256) return true;
  const Result<std::string> expected = NormalizeSha256(*expectedSha256);
  Result<FileHash> actual = HashFile(held);
  if (expected && actual && actual.value.hex == expected.value) return true;
  LogLine(LogLevel::kError, L"待替换文件的 SHA256(%hs)与预期(%hs)不符，放弃更新", actual.value.hex.c_str(),
          expected.value.c_str());
  return false;
}

// Moves newFile over target; the old process may hold its executable for a moment after it ended,
// and a virus scanner may hold the new file. The new file is held from its digest check to the end
// of its move, so the file installed is the file checked.
HelperExit ReplaceTarget(const ApplyUpdateArgs& args) {
  const DWORD start = GetTickCount();
  Result<UniqueFile> held;
  bool checked = false;
  for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
    if (!held) held = HoldForMove(args.newFile);
    Status moved = held.status;
    if (held && !checked) {
      if (!DigestMatches(held.value.get(), args.expectedSha256)) return HelperExit::kVersionMismatch;
      checked = true;
    }
    if (held) moved = MoveHeldFile(held.value.get(), args.target);
    if (moved) {
      LogLine(LogLevel::kInfo, L"已替换为新版本：%ls（替换重试耗时 %lu ms）", args.target.c_str(),
              static_cast<unsigned long>(GetTickCount() - start));
      return HelperExit::kDone;
    }
    if (attempt == 0) LogLine(LogLevel::kInfo, L"替换首次失败 (err=%lu)，重试中…", moved.error());
    Sleep(kReplacePauseMs);
  }
  LogLine(LogLevel::kError, L"替换失败，旧版本保持不动：%ls", args.target.c_str());
  return HelperExit::kReplaceFailed;
}

// Starts the new version detached, in its own folder, with the old run's arguments.
void StartNewVersion(const ApplyUpdateArgs& args) {
  const std::wstring directory = RestartDirectory(args.target);
  Result<StartedProcess> started =
      StartProcess(args.target, RestartCommandLine(args.target, args.forwarded), DETACHED_PROCESS, directory.c_str());
  if (!started) {
    LogLine(LogLevel::kError, L"拉起新版本失败 (err=%lu)", started.error());
    return;
  }
  LogLine(LogLevel::kInfo, L"已拉起新版本");
}

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
    }
    // Anything else, and an option without its value, is skipped.
  }
  return !args.target.empty() && !args.newFile.empty();
}

std::wstring ApplyUpdateMutexName(const std::wstring& target) {
  std::wstring name = kMutexPrefix;
  for (wchar_t c : target) name.push_back(c == L'/' || c == L':' || c == L'\\' ? L'_' : c);
  return name;
}

bool HelperVersionAccepted(const std::wstring& expectedVersion, const std::wstring& fileVersion) {
  if (expectedVersion.empty() || expectedVersion == L"-") return true;
  return fileVersion.empty() || fileVersion == expectedVersion || SameVersionNumbers(expectedVersion, fileVersion);
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

  // Held until the helper is done: a second helper for the same target must not move files too.
  HeldMutex lock;
  lock.mutex.reset(CreateMutexW(nullptr, FALSE, ApplyUpdateMutexName(args.target).c_str()));
  if (lock.mutex) {
    lock.Take(0);
    if (!lock.held()) {
      LogLine(LogLevel::kWarn, L"已有另一个更新帮手在处理同一目标，本帮手退出");
      return HelperExit::kDone;
    }
  }

  const std::wstring self = ModulePath();
  if (!self.empty() && SamePath(self, args.target)) {
    LogLine(LogLevel::kError, L"目标路径指向帮手自身，参数错误，放弃");
    return HelperExit::kTargetIsSelf;
  }

  if (args.pid != 0) WaitForOldProcess(args.pid);

  // A file without a readable version passes: the cycle that downloaded it checked it already.
  const std::wstring fileVersion = PeFileVersionString(args.newFile).value;
  if (!HelperVersionAccepted(args.expectedVersion, fileVersion)) {
    LogLine(LogLevel::kError, L"待替换文件版本(%ls)与预期(%ls)不符，放弃更新", fileVersion.c_str(),
            args.expectedVersion.c_str());
    return HelperExit::kVersionMismatch;
  }

  const HelperExit replaced = ReplaceTarget(args);
  if (replaced != HelperExit::kDone) return replaced;

  static_cast<void>(WriteStateValue(L"PendingNewExe", L""));
  StartNewVersion(args);
  return HelperExit::kDone;
}
