// testtool hold-mutex, hold-file, pose-as-watcher, set-event --when-file and start-detached: kernel objects
// and processes that a test needs to exist while the program runs.
#include "app/single_instance.h"
#include "app/watcher_status.h"
#include "support/handles.h"
#include "support/process.h"
#include "support/text.h"
#include "testtool.h"

namespace {

// Quotes one argument so that the runtime's argument splitting gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes double only in front of a quote, which itself is escaped.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  quoted += L'"';
  return quoted;
}

DWORD ParseShareMode(const std::wstring& letters, bool& ok) {
  DWORD share = 0;
  ok = true;
  for (wchar_t c : letters) {
    if (c == L'r') {
      share |= FILE_SHARE_READ;
    } else if (c == L'w') {
      share |= FILE_SHARE_WRITE;
    } else if (c == L'd') {
      share |= FILE_SHARE_DELETE;
    } else {
      ok = false;
    }
  }
  return share;
}

}  // namespace

int HoldMutexCommand(ToolArgs args) {
  std::wstring readyName;
  std::wstring quitName;
  if (!TakeOption(args, L"--ready", readyName) || !TakeOption(args, L"--quit", quitName) || args.size() != 1) {
    return UsageFailure(L"hold-mutex NAME --ready EVENT --quit EVENT");
  }
  UniqueKernelHandle mutex(CreateMutexW(nullptr, FALSE, args[0].c_str()));
  if (!mutex) return SystemFailure(L"CreateMutexW", GetLastError());
  // Owning it (also when an earlier owner died with it) is what the program sees as "held".
  DWORD rc = WaitForSingleObject(mutex.get(), 10000);
  if (rc != WAIT_OBJECT_0 && rc != WAIT_ABANDONED) return SystemFailure(L"taking the mutex", GetLastError());
  int result = SignalReadyAndWaitForQuit(readyName, quitName, false);
  ReleaseMutex(mutex.get());
  return result;
}

int PoseAsWatcherCommand(ToolArgs args) {
  std::wstring readyName;
  std::wstring quitName;
  const bool noStopEvent = TakeFlag(args, L"--no-stop-event");
  if (!TakeOption(args, L"--ready", readyName) || !TakeOption(args, L"--quit", quitName) || !args.empty()) {
    return UsageFailure(L"pose-as-watcher [--no-stop-event] --ready EVENT --quit EVENT");
  }
  // The status block and the stop event a watcher has, but nobody who ever answers the stop; without the
  // event, one that cannot even be asked.
  WatcherInfo info;
  info.pid = GetCurrentProcessId();
  info.version = L"0.0.0.1";
  GetLocalTime(&info.started);
  Result<PublishedStatus> status = PublishedStatus::Publish(info);
  if (!status) return SystemFailure(L"publishing the status", status.error());
  UniqueKernelHandle stop(noStopEvent ? nullptr : CreateEventW(nullptr, TRUE, FALSE, kStopEventName));
  if (!noStopEvent && !stop) return SystemFailure(L"CreateEventW (stop)", GetLastError());
  return SignalReadyAndWaitForQuit(readyName, quitName, false);
}

int SetEventWhenFileCommand(const std::wstring& event, const std::wstring& file) {
  // Started before the moment it is needed, so that the event is set as soon as the test makes the file,
  // not after the start of a Wine process.
  while (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(10);
  UniqueKernelHandle handle(OpenEventW(EVENT_MODIFY_STATE, FALSE, event.c_str()));
  if (!handle) return GetLastError() == ERROR_FILE_NOT_FOUND ? kToolNo : SystemFailure(L"OpenEventW", GetLastError());
  if (!SetEvent(handle.get())) return SystemFailure(L"SetEvent", GetLastError());
  return kToolOk;
}

int HoldFileCommand(ToolArgs args) {
  std::wstring readyName;
  std::wstring quitName;
  std::wstring shareLetters;
  TakeOption(args, L"--share", shareLetters);
  bool shareOk = true;
  DWORD share = ParseShareMode(shareLetters, shareOk);
  if (!shareOk || !TakeOption(args, L"--ready", readyName) || !TakeOption(args, L"--quit", quitName) ||
      args.size() != 1) {
    return UsageFailure(L"hold-file PATH [--share rwd] --ready EVENT --quit EVENT");
  }
  // Backup semantics let a folder be held the same way as a file.
  UniqueFile file(CreateFileW(args[0].c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return SystemFailure(L"CreateFileW", GetLastError());
  return SignalReadyAndWaitForQuit(readyName, quitName, false);
}

int LoadDllCommand(ToolArgs args) {
  if (args.size() != 1) return UsageFailure(L"load-dll NAME");
  // The default search order: the program's own folder comes first.
  const HMODULE module = LoadLibraryW(args[0].c_str());
  if (!module) return SystemFailure(L"LoadLibraryW", GetLastError());
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  Out(std::wstring(path) + L"\n");
  return kToolOk;
}

int StartDetachedCommand(ToolArgs args) {
  if (args.empty()) return UsageFailure(L"start-detached EXE [ARGS...]");
  std::wstring commandLine;
  for (const std::wstring& arg : args) {
    if (!commandLine.empty()) commandLine += L' ';
    commandLine += QuoteArgument(arg);
  }
  Result<StartedProcess> started =
      StartProcess(args[0], commandLine, DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr);
  if (!started) return SystemFailure(L"CreateProcessW", started.error());
  Out(Format(L"%lu\n", started.value.id));
  return kToolOk;
}
