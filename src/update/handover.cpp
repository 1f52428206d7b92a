// Hand-over to the apply-update helper: state values, helper copy, helper start, publication.
#include "update/handover.h"

#include <windows.h>

#include "app/options.h"
#include "app/single_instance.h"
#include "support/console.h"
#include "support/handles.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/state.h"
#include "support/text.h"
#include "update/command_line.h"
#include "update/handover_signal.h"
#include "version.h"

namespace {

constexpr size_t kStampChars = 32;

void RecordPendingUpdate(const UpdateInfo& info, const std::wstring& newExePath) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  wchar_t stamp[kStampChars];
  FormatInto(stamp, kStampChars, L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
  // A registry failure must not stop the update; nothing reads these values back in this run.
  WriteStateValue(L"PreviousVersion", kAppVersion);
  WriteStateValue(L"LastUpdateAttempt", info.version);
  WriteStateValue(L"PendingNewExe", newExePath);
  WriteStateValue(L"LastUpdateTime", stamp);
}

}  // namespace

std::wstring BuildHelperCommandLine(const std::wstring& updaterPath, const std::wstring& exePath,
                                    const std::wstring& newExePath, unsigned long pid,
                                    const std::wstring& version, const std::vector<std::wstring>& fwdArgs) {
  std::wstring line;
  AppendQuotedArgument(line, updaterPath);
  line += L" --apply-update --target ";
  AppendQuotedArgument(line, exePath);
  line += L" --new ";
  AppendQuotedArgument(line, newExePath);
  line += Format(L" --pid %lu --ver ", pid);
  AppendQuotedArgument(line, version);
  if (!fwdArgs.empty()) line += L" --";
  for (const std::wstring& arg : fwdArgs) {
    line.push_back(L' ');
    AppendQuotedArgument(line, arg);
  }
  return line;
}

void LaunchUpdateHelper(const UpdateInfo& info, const std::wstring& newExePath, bool& handedOver) {
  RecordPendingUpdate(info, newExePath);

  // Without either path there is nothing to start; the cycle's guard removes the download.
  const std::wstring exePath = ModulePath();
  if (exePath.empty()) return;
  const std::wstring tempDir = TempFolder();
  if (tempDir.empty()) return;
  const DWORD pid = GetCurrentProcessId();
  const std::wstring updaterPath = Format(L"%lsOKAVU-updater-%lu.exe", tempDir.c_str(), pid);

  // The helper runs from a copy: the executable it replaces must be free to move.
  if (!CopyFileW(exePath.c_str(), updaterPath.c_str(), FALSE)) {
    const DWORD error = GetLastError();
    Fail(L"创建更新帮手失败 (err=%lu)：%ls", error, updaterPath.c_str());
    LogLine(L"ERROR", L"创建更新帮手失败 (err=%lu)", error);
    return;
  }

  std::wstring commandLine =
      BuildHelperCommandLine(updaterPath, exePath, newExePath, pid, info.version, g_fwdArgs);
  DWORD helperPid = 0;
  {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    // Both handles close at the end of this block: nothing waits for the helper, it waits for us.
    UniqueProcessInformation helper;
    if (!CreateProcessW(updaterPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &helper.info)) {
      const DWORD error = GetLastError();
      Fail(L"启动更新帮手失败 (err=%lu)", error);
      LogLine(L"ERROR", L"启动更新帮手失败 (err=%lu)", error);
      return;
    }
    helperPid = helper.info.dwProcessId;
  }
  g_helperPid = helperPid;
  LogLine(L"INFO", L"CreateProcess 返回成功 (帮手 PID %lu)", helperPid);
  Ok(L"更新帮手已启动（PID %lu），本进程即将退出以完成替换", helperPid);
  LogLine(L"INFO", L"更新帮手已启动 (PID %lu)", helperPid);

  // Publication order matters: the main thread reads the values only after seeing g_updateReady.
  handedOver = true;
  g_newExePath = newExePath;
  g_newVerStr = info.version;
  g_updateReady.exchange(1);
  // The main thread may be clearing the handle at the end of its run: read it atomically.
  if (HANDLE updateEvent = InterlockedCompareExchangePointer(&g_updateEvent, nullptr, nullptr)) {
    SetEvent(updateEvent);
  }
}
