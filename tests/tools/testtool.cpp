// testtool.exe: what the end-to-end tests need from inside the Wine prefix (registry, stand-in shell,
// held objects, trust store, command-line round trips, the program's policy table).
#include "testtool.h"

#include <cwchar>

#include "support/console.h"
#include "support/handles.h"
#include "support/text.h"

namespace {

constexpr wchar_t kUsage[] =
    L"usage: testtool COMMAND ...\n"
    L"  reg-get ROOT KEY VALUE                 prints \"TYPE BYTES\" and the data; exit 1 when missing\n"
    L"  reg-set ROOT KEY VALUE TYPE DATA       TYPE: REG_SZ REG_EXPAND_SZ REG_DWORD REG_QWORD REG_BINARY(hex)\n"
    L"  reg-delete ROOT KEY [VALUE...]         whole key tree without VALUE; exit 1 when missing\n"
    L"  reg-key-exists ROOT KEY                exit 0 when the key exists, 1 when not\n"
    L"  reg-batch FILE                         reg-delete and reg-set lines (UTF-8, words tab-separated)\n"
    L"  shell [--only-progman|--only-workerw] --ready EVENT --quit EVENT [--log FILE]\n"
    L"  set-wallpaper PATH [--on-input]        with --on-input, once for each line on standard input\n"
    L"  hold-mutex NAME --ready EVENT --quit EVENT\n"
    L"  hold-file PATH [--share rwd] --ready EVENT --quit EVENT\n"
    L"  set-event NAME [--when-file FILE]      exit 1 when no such event exists; first waits for FILE to exist\n"
    L"  pose-as-watcher [--no-stop-event] --ready EVENT --quit EVENT\n"
    L"                                         a watcher's status (and stop event) that never stops\n"
    L"  wait-event NAME MILLISECONDS           exit 1 on time-out\n"
    L"  import-ca FILE                         DER or PEM, into LocalMachine Root\n"
    L"  start-detached EXE [ARGS...]           prints the child's process id\n"
    L"  print-args [ARGS...]                   each argument on its own line\n"
    L"  has-console                            exit 0 when the process has a console window, 1 when not\n"
    L"  load-dll NAME                          LoadLibraryW by name, as an unguarded program would; prints the path\n"
    L"  launch --code-file FILE -- EXE [ARGS...]  runs EXE as a child, writes its exit code to FILE, exits with it\n"
    L"  policy-table                           the update policy values the program reads: NAME KIND MIN MAX, tab-separated\n"
    L"ROOT is HKCU or HKLM.\n";

int PrintArgsCommand(const ToolArgs& args) {
  std::wstring text;
  for (const std::wstring& arg : args) {
    text += arg;
    text += L'\n';
  }
  Out(text);
  return kToolOk;
}

int SetEventCommand(ToolArgs args) {
  std::wstring whenFile;
  if (TakeOption(args, L"--when-file", whenFile)) {
    if (args.size() != 1) return UsageFailure(L"set-event NAME --when-file FILE");
    return SetEventWhenFileCommand(args[0], whenFile);
  }
  if (args.size() != 1) return UsageFailure(L"set-event NAME [--when-file FILE]");
  UniqueKernelHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, args[0].c_str()));
  if (!event) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
      Err(L"testtool set-event: no event named " + args[0] + L"\n");
      return kToolNo;
    }
    return SystemFailure(L"OpenEventW", error);
  }
  if (!SetEvent(event.get())) return SystemFailure(L"SetEvent", GetLastError());
  return kToolOk;
}

int WaitEventCommand(const ToolArgs& args) {
  if (args.size() != 2) return UsageFailure(L"wait-event NAME MILLISECONDS");
  UniqueKernelHandle event(OpenOrCreateEvent(args[0]));
  if (!event) return SystemFailure(L"CreateEventW", GetLastError());
  DWORD ms = wcstoul(args[1].c_str(), nullptr, 10);
  DWORD rc = WaitForSingleObject(event.get(), ms);
  if (rc == WAIT_OBJECT_0) return kToolOk;
  if (rc == WAIT_TIMEOUT) return kToolNo;
  return SystemFailure(L"WaitForSingleObject", GetLastError());
}

int HasConsoleCommand(const ToolArgs& args) {
  if (!args.empty()) return UsageFailure(L"has-console");
  return GetConsoleWindow() ? kToolOk : kToolNo;
}

}  // namespace

void Out(const std::wstring& text) { ConsoleWrite(stdout, text.c_str()); }
void Err(const std::wstring& text) { ConsoleWrite(stderr, text.c_str()); }

int SystemFailure(const wchar_t* what, DWORD error) {
  Err(Format(L"testtool: %ls failed (error %lu)\n", what, error));
  return kToolFailed;
}

int UsageFailure(const wchar_t* usage) {
  Err(Format(L"usage: testtool %ls\n", usage));
  return kToolUsage;
}

bool TakeOption(ToolArgs& args, const wchar_t* name, std::wstring& value) {
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == name) {
      value = args[i + 1];
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i + 2));
      return true;
    }
  }
  return false;
}

bool TakeFlag(ToolArgs& args, const wchar_t* name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

HANDLE OpenOrCreateEvent(const std::wstring& name) { return CreateEventW(nullptr, TRUE, FALSE, name.c_str()); }

int SignalReadyAndWaitForQuit(const std::wstring& readyName, const std::wstring& quitName, bool pump) {
  // The quit event exists before ready is signalled, so a quit sent right after ready is never lost.
  UniqueKernelHandle quit(OpenOrCreateEvent(quitName));
  if (!quit) return SystemFailure(L"CreateEventW (quit)", GetLastError());
  UniqueKernelHandle ready(OpenOrCreateEvent(readyName));
  if (!ready) return SystemFailure(L"CreateEventW (ready)", GetLastError());
  if (!SetEvent(ready.get())) return SystemFailure(L"SetEvent (ready)", GetLastError());
  HANDLE waitFor = quit.get();
  for (;;) {
    DWORD rc = pump ? MsgWaitForMultipleObjects(1, &waitFor, FALSE, INFINITE, QS_ALLINPUT)
                    : WaitForSingleObject(waitFor, INFINITE);
    if (rc == WAIT_OBJECT_0) return kToolOk;
    if (!pump || rc != WAIT_OBJECT_0 + 1) return SystemFailure(L"waiting for the quit event", GetLastError());
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    Err(kUsage);
    return kToolUsage;
  }
  const std::wstring command = argv[1];
  ToolArgs args(argv + 2, argv + argc);
  if (command == L"reg-get") return RegGetCommand(args);
  if (command == L"reg-set") return RegSetCommand(args);
  if (command == L"reg-delete") return RegDeleteCommand(args);
  if (command == L"reg-key-exists") return RegKeyExistsCommand(args);
  if (command == L"reg-batch") return RegBatchCommand(args);
  if (command == L"shell") return ShellCommand(args);
  if (command == L"set-wallpaper") return SetWallpaperCommand(args);
  if (command == L"hold-mutex") return HoldMutexCommand(args);
  if (command == L"hold-file") return HoldFileCommand(args);
  if (command == L"set-event") return SetEventCommand(args);
  if (command == L"wait-event") return WaitEventCommand(args);
  if (command == L"import-ca") return ImportCaCommand(args);
  if (command == L"start-detached") return StartDetachedCommand(args);
  if (command == L"print-args") return PrintArgsCommand(args);
  if (command == L"has-console") return HasConsoleCommand(args);
  if (command == L"load-dll") return LoadDllCommand(args);
  if (command == L"launch") return LaunchCommand(args);
  if (command == L"pose-as-watcher") return PoseAsWatcherCommand(args);
  if (command == L"policy-table") return PolicyTableCommand(args);
  Err(L"testtool: unknown command " + command + L"\n" + kUsage);
  return kToolUsage;
}
