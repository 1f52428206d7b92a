// Hand-over to the apply-update helper: state values, helper copy, helper start, publication.
#include "update/handover.h"

#include <windows.h>

#include "support/console.h"
#include "support/files.h"
#include "support/log.h"
#include "support/process.h"
#include "support/random_text.h"
#include "support/report.h"
#include "support/state.h"
#include "support/system_folders.h"
#include "support/text.h"
#include "update/command_line.h"
#include "update/sha256.h"
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

// Copies the running executable to a new file named copyPath (never into one that exists), then holds the
// copy against every writer and deleter and checks through that hold that it is byte for byte the
// program: what the helper then runs is what this process wrote. Fails with the error of the step.
Result<UniqueFile> MakeHelperCopy(const std::wstring& source, const std::wstring& copyPath) {
  Result<std::vector<unsigned char>> program = ReadAllBytes(source);
  if (!program) return program.status;
  {
    UniqueFile copy(CreateFileW(copyPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy) return Status::LastError();
    DWORD written = 0;
    if (!WriteFile(copy.get(), program.value.data(), static_cast<DWORD>(program.value.size()), &written, nullptr) ||
        written != program.value.size()) {
      const Status failed = Status::LastError();
      copy.reset();
      DeleteFileW(copyPath.c_str());
      return failed;
    }
  }
  // From here nobody can write, rename or delete the copy; a writer that got in before is found by the
  // digest, or keeps this hold from being had at all.
  Result<UniqueFile> held = HoldForReading(copyPath);
  if (!held) return held.status;
  const Result<FileHash> copied = HashFile(held.value.get());
  if (!copied || copied.value.hex != Sha256Hex(program.value.data(), program.value.size())) {
    return Status::Failure(ERROR_INVALID_DATA);
  }
  return held;
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
  if (!args.expectedSha256.empty()) line += L" --sha256 " + args.expectedSha256;
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
  if (tempDir.empty()) return Status::Failure(ERROR_PATH_NOT_FOUND);
  const DWORD pid = GetCurrentProcessId();
  // A name nobody can guess, so nobody can have a file or a link waiting under it.
  const Result<std::wstring> unique = RandomHex(16);
  if (!unique) return unique.status;
  const std::wstring updaterPath = tempDir + L"OKAVU-updater-" + unique.value + L".exe";

  ApplyUpdateArgs request;
  request.target = exePath;
  request.newFile = newExePath;
  request.pid = static_cast<int>(pid);
  request.expectedVersion = info.version;
  request.expectedSha256 = FromUtf8(sha256);
  request.hasSha256 = true;
  request.workingDirectory = CurrentFolder();
  request.forwarded = channel.forwardedArgs();

  // The helper runs from a copy: the executable it replaces must be free to move. Held until the helper
  // runs from it; a fault of this computer is said once, and tried again after the back-off.
  Result<UniqueFile> copy = MakeHelperCopy(exePath, updaterPath);
  if (!copy) {
    if (channel.FirstTime(L"helper copy")) {
      Report(ConsoleLevel::kError, L"创建更新帮手失败 (err=%lu)：%ls", LogLevel::kError, L"创建更新帮手失败 (err=%lu)",
             copy.error(), updaterPath.c_str());
    }
    return copy.status;
  }

  // Nothing waits for the helper (its handle closes here); it waits for us.
  Result<StartedProcess> helper = StartProcess(updaterPath, BuildHelperCommandLine(updaterPath, request),
                                               DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr);
  copy.value.reset();
  if (!helper) {
    if (channel.FirstTime(L"helper start")) {
      Report(ConsoleLevel::kError, L"启动更新帮手失败 (err=%lu)", LogLevel::kError, L"启动更新帮手失败 (err=%lu)",
             helper.error());
    }
    DeleteFileW(updaterPath.c_str());
    return helper.status;
  }
  channel.Forget(L"helper copy");
  channel.Forget(L"helper start");
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
