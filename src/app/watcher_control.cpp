// Status and stop of the session's watcher.
#include "app/watcher_control.h"

#include <windows.h>

#include <optional>

#include "app/single_instance.h"
#include "app/watcher_status.h"
#include "support/exit_codes.h"
#include "support/handles.h"
#include "support/log.h"
#include "support/report.h"
#include "support/state.h"

namespace {

constexpr DWORD kStopWaitMs = 10000;
constexpr DWORD kStopPollMs = 50;

void ReportLastUpdate() {
  const std::wstring when = ReadStateValue(L"LastUpdateTime");
  if (when.empty()) {
    Report(ConsoleLevel::kInfo, L"上次更新：无记录", LogLevel::kInfo, L"状态查询：上次更新无记录");
    return;
  }
  const std::wstring from = ReadStateValue(L"PreviousVersion");
  const std::wstring to = ReadStateValue(L"LastUpdateAttempt");
  Report(ConsoleLevel::kInfo, L"上次更新：%ls（%ls → %ls）", LogLevel::kInfo, L"状态查询：上次更新 %ls（%ls → %ls）",
         when.c_str(), from.c_str(), to.c_str());
}

int ReportNoWatcher() {
  Report(ConsoleLevel::kInfo, L"本会话没有运行中的监视实例", LogLevel::kInfo, L"状态查询：本会话没有运行中的监视实例");
  return ToInt(ExitCode::kNoWatcher);
}

// True once the watcher has ended, within kStopWaitMs: by its process where this run may wait for it,
// else by its published status going away.
bool WaitForEnd(unsigned long pid) {
  UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
  if (process) return WaitForSingleObject(process.get(), kStopWaitMs) == WAIT_OBJECT_0;
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < kStopWaitMs) {
    if (!ReadWatcherStatus()) return true;
    Sleep(kStopPollMs);
  }
  return !ReadWatcherStatus();
}

// The watcher of the session by its lock alone, for a status block that is not believed: true while
// somebody holds the watcher mutex. The look takes the mutex for no longer than the look itself.
bool WatcherLockHeld() {
  UniqueKernelHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kMutexName));
  if (!mutex) return false;
  const DWORD waited = WaitForSingleObject(mutex.get(), 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    ReleaseMutex(mutex.get());
    return false;
  }
  return waited == WAIT_TIMEOUT;
}

// Says, once for this run, that the status block is not believed; the caller falls back to the lock.
void ReportUntrustedStatus(const StatusLookup& lookup) {
  Report(ConsoleLevel::kWarn, L"监视状态的发布者（%ls）不是本用户，不采信，改看单实例锁", LogLevel::kWarn,
         L"监视状态的所有者 %ls 不可信，改看单实例锁", lookup.owner.empty() ? L"未知" : lookup.owner.c_str());
}

// --status and --stop where the block is not believed: the watcher mutex and the stop event decide.
int ShowWatcherByLock() {
  if (!WatcherLockHeld()) return ReportNoWatcher();
  Report(ConsoleLevel::kInfo, L"监视实例正在运行（单实例锁已被持有；PID 与版本不明）", LogLevel::kInfo,
         L"状态查询：单实例锁被持有，监视实例在运行");
  return ToInt(ExitCode::kSuccess);
}

int StopWatcherByLock() {
  if (!WatcherLockHeld()) return ReportNoWatcher();
  UniqueKernelHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName));
  if (!stop || !SetEvent(stop.get())) {
    const unsigned long error = GetLastError();
    Report(ConsoleLevel::kError, L"无法通知监视实例退出 (err=%lu)", LogLevel::kError, L"无法通知监视实例退出 (err=%lu)",
           error);
    return ToInt(ExitCode::kWatcherRunning);
  }
  const DWORD start = GetTickCount();
  while (WatcherLockHeld()) {
    if (GetTickCount() - start >= kStopWaitMs) {
      Report(ConsoleLevel::kError, L"监视实例 %lu 秒内没有退出", LogLevel::kError, L"已请监视实例退出，%lu 秒内没有退出",
             kStopWaitMs / 1000);
      return ToInt(ExitCode::kWatcherRunning);
    }
    Sleep(kStopPollMs);
  }
  Report(ConsoleLevel::kOk, L"监视实例已退出", LogLevel::kInfo, L"已请监视实例退出，它已退出");
  return ToInt(ExitCode::kSuccess);
}

}  // namespace

int ShowWatcherStatus() {
  const StatusLookup lookup = LookUpWatcherStatus();
  if (lookup.untrusted) {
    ReportUntrustedStatus(lookup);
    const int code = ShowWatcherByLock();
    ReportLastUpdate();
    return code;
  }
  const std::optional<WatcherInfo>& watcher = lookup.watcher;
  if (watcher) {
    const std::wstring started = TimeStamp(watcher->started);
    Report(ConsoleLevel::kInfo, L"监视实例正在运行：PID %lu，版本 %ls，启动于 %ls", LogLevel::kInfo,
           L"状态查询：监视实例运行中（PID %lu，版本 %ls，启动于 %ls）", watcher->pid, watcher->version.c_str(),
           started.c_str());
  }
  const int code = watcher ? ToInt(ExitCode::kSuccess) : ReportNoWatcher();
  ReportLastUpdate();
  return code;
}

int StopWatcher() {
  const StatusLookup lookup = LookUpWatcherStatus();
  if (lookup.untrusted) {
    ReportUntrustedStatus(lookup);
    return StopWatcherByLock();
  }
  const std::optional<WatcherInfo>& watcher = lookup.watcher;
  if (!watcher) return ReportNoWatcher();
  UniqueKernelHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName));
  if (!stop || !SetEvent(stop.get())) {
    const unsigned long error = GetLastError();
    Report(ConsoleLevel::kError, L"无法通知监视实例（PID %lu）退出 (err=%lu)", LogLevel::kError,
           L"无法通知监视实例 PID %lu 退出 (err=%lu)", watcher->pid, error);
    return ToInt(ExitCode::kWatcherRunning);
  }
  if (!WaitForEnd(watcher->pid)) {
    Report(ConsoleLevel::kError, L"监视实例（PID %lu）%lu 秒内没有退出", LogLevel::kError,
           L"已请监视实例 PID %lu 退出，%lu 秒内没有退出", watcher->pid, kStopWaitMs / 1000);
    return ToInt(ExitCode::kWatcherRunning);
  }
  Report(ConsoleLevel::kOk, L"监视实例（PID %lu）已退出", LogLevel::kInfo, L"已请监视实例 PID %lu 退出，它已退出",
         watcher->pid);
  return ToInt(ExitCode::kSuccess);
}
