// Entry point and driver: runs the start-up stages in their fixed order and turns outcomes into exit codes.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>

#include "app/encoding_probe.h"
#include "app/options.h"
#include "support/console.h"
#include "support/log.h"
#include "support/state.h"
#include "version.h"

namespace {

// SetProcessDpiAwarenessContext exists from Windows 10 1703 on; older systems get the plain call.
void DeclareDpiAwareness() {
  using SetContextFn = BOOL(WINAPI*)(HANDLE);
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  FARPROC proc = user32 ? GetProcAddress(user32, "SetProcessDpiAwarenessContext") : nullptr;
  auto setContext = reinterpret_cast<SetContextFn>(reinterpret_cast<void*>(proc));
  if (!setContext || !setContext(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4)))) SetProcessDPIAware();
}

void PrepareConsole(bool keep) {
  if (!keep) {
    FreeConsole();
    g_haveConsole = false;
    return;
  }
  if (!GetConsoleWindow() && AttachConsole(ATTACH_PARENT_PROCESS)) {
    FILE* stream = nullptr;
    freopen_s(&stream, "CONOUT$", "w", stdout);
    freopen_s(&stream, "CONOUT$", "w", stderr);
    freopen_s(&stream, "CONIN$", "r", stdin);
  }
  g_haveConsole = GetConsoleWindow() != nullptr;
  if (g_haveConsole) DeclareDpiAwareness();
}

void ShowBanner() {
  Info(L"OKAVU Quillmere  v%ls", kAppVersion);
  std::wstring previous = ReadStateValue(L"PreviousVersion");
  std::wstring when = ReadStateValue(L"LastUpdateTime");
  if (!previous.empty() && !when.empty()) {
    Info(L"上次更新：%ls → %ls（%ls）", previous.c_str(), kAppVersion, when.c_str());
  }
}

// Stages 6 to 16 join here as the wallpaper, watch and update code lands.
int RunStages(const RunOptions&) { return 0; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && _wcsicmp(argv[1], L"--apply-update") == 0) {
    LogLine(L"INFO", L"更新帮手启动，参数已就绪，准备等待旧进程退出");
    return kExitUsage;  // the helper mode joins here
  }
  if (argc > 1 && _wcsicmp(argv[1], L"--enc-probe") == 0) {
    RunEncodingProbe();
    return 0;
  }

  PrepareConsole(KeepsConsole(argc, argv));

  ParsedCommandLine parsed = ParseCommandLine(argc, argv);
  g_quiet = parsed.quiet;
  switch (parsed.action) {
    case ParseAction::Help:
      if (g_haveConsole) Usage(argv[0]);
      return 0;
    case ParseAction::Error:
      Fail(L"%ls", parsed.error.c_str());
      if (parsed.helpAfterError && g_haveConsole) Usage(argv[0]);
      return kExitUsage;
    case ParseAction::Version:
      if (g_haveConsole) PrintVersionLine();
      return 0;
    case ParseAction::Run:
      break;
  }
  g_fwdArgs = std::move(parsed.fwdArgs);

  ShowBanner();
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int code = RunStages(parsed.options);
  CoUninitialize();
  return code;
}
