// Hand-over to the apply-update helper: state values, helper copy, helper start, publication.
#include "update/handover.h"

#include <windows.h>

#include "support/console.h"
#include "support/log.h"
#include "support/process.h"
#include "support/report.h"
#include "support/state.h"
#include "support/system_folders.h"
#include "support/text.h"
#include "update/command_line.h"
#include "version.h"

namespace {

void RecordPendingUpdate(const UpdateInfo& info, const std::wstring& newExePath) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  // A registry failure must not stop the update; nothing reads these values back in this run.
  static_cast<void>(WriteStateValue(L"PreviousVersion", kAppVersion));
  static_cast<void>(WriteStateValue(L"LastUpdateAttempt", info.version));
  static_cast<void>(WriteStateValue(L"PendingNewExe", newExePath));
  static_cast<void>(WriteStateValue(L"LastUpdateTime", TimeStamp(now)));
}

}  // namespace

std::wstring BuildHelperCommandLine(const std::wstring& updaterPath, const ApplyUpdateArgs& args) {
  std::wstring line;
  AppendQuotedArgument(line, updaterPath);
  line += L" --apply-update --target ";
  AppendQuotedArgument(line, args.target);
  line += L" --new ";
  AppendQuotedArgument(line, args.newFile);
  line += Format(L" --pid %d --ver ", args.pid);
  AppendQuotedArgument(line, args.expectedVersion);
  if (args.expectedSha256 && !args.expectedSha256->empty()) line += L" --sha256 " + *args.expectedSha256;
  if (!args.workingDirectory.empty()) {
    line += L" --cwd ";
    AppendQuotedArgument(line, args.workingDirectory);
  }
  if (!args.forwarded.empty()) line += L" --";
  for (const std::wstring& arg : args.forwarded) {
    line.push_back(L' ');
    AppendQuotedArgument(line, arg);
  }
  return line;
}

Status LaunchUpdateHelper(const UpdateInfo& info, const std::wstring& newExePath, const std::string& sha256,
                          UpdateChannel& channel) {
  RecordPendingUpdate(info, newExePath);

  // Without either path there is nothing to start; the cycle's guard removes the download.
  const std::wstring exePath = ModulePath();
  if (exePath.empty()) return Status::Failure();
  const std::wstring tempDir = TempFolder();
  if (tempDir.empty()) return Status::Failure();
  const DWORD pid = GetCurrentProcessId();
  const std::wstring updaterPath = Format(L"%lsOKAVU-updater-%lu.exe", tempDir.c_str(), pid);

  ApplyUpdateArgs request;
  request.target = exePath;
  request.newFile = newExePath;
  request.pid = static_cast<int>(pid);
  request.expectedVersion = info.version;
  request.expectedSha256 = FromUtf8(sha256);
  request.workingDirectory = CurrentFolder();
  request.forwarded = channel.forwardedArgs();

  // The helper runs from a copy: the executable it replaces must be free to move.
  if (!CopyFileW(exePath.c_str(), updaterPath.c_str(), FALSE)) {
    const Status copied = Status::LastError();
    Report(ConsoleLevel::kError, L"创建更新帮手失败 (err=%lu)：%ls", LogLevel::kError, L"创建更新帮手失败 (err=%lu)",
           copied.error(), updaterPath.c_str());
    return copied;
  }

  // Nothing waits for the helper (its handle closes here); it waits for us.
  Result<StartedProcess> helper = StartProcess(updaterPath, BuildHelperCommandLine(updaterPath, request),
                                               DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr);
  if (!helper) {
    Report(ConsoleLevel::kError, L"启动更新帮手失败 (err=%lu)", LogLevel::kError, L"启动更新帮手失败 (err=%lu)",
           helper.error());
    return helper.status;
  }
  const unsigned long helperPid = helper.value.id;
  LogLine(LogLevel::kInfo, L"CreateProcess 返回成功 (帮手 PID %lu)", helperPid);
  Report(ConsoleLevel::kOk, L"更新帮手已启动（PID %lu），本进程即将退出以完成替换", LogLevel::kInfo,
         L"更新帮手已启动 (PID %lu)", helperPid);

  HandOver handOver;
  handOver.helperPid = helperPid;
  handOver.newExePath = newExePath;
  handOver.newVersion = info.version;
  channel.PublishHandOver(std::move(handOver));
  return Status::Success();
}
