// Entry point and driver: runs the start-up stages in their fixed order and turns outcomes into exit codes.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>

#include "app/encoding_probe.h"
#include "app/options.h"
#include "app/single_instance.h"
#include "app/watch_loop.h"
#include "support/console.h"
#include "support/handles.h"
#include "support/log.h"
#include "support/state.h"
#include "update/apply_update.h"
#include "update/handover_signal.h"
#include "update/update_thread.h"
#include "version.h"
#include "wallpaper/desktop_env.h"
#include "wallpaper/picture_source.h"
#include "wallpaper/staging.h"
#include "wallpaper/wallpaper_apply.h"
#include "wallpaper/wallpaper_check.h"

namespace {

constexpr int kExitPaintFailed = 1;
constexpr int kExitNoDesktop = 4;
constexpr int kExitNoTarget = 5;
constexpr int kExitWatcherRunning = 6;

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

// Objects that live from their stage to the end of the run.
struct RunObjects {
  UniqueKernelHandle mutex;
  bool mutexHeld = false;
  UniqueKernelHandle updateThread;
};

// The common end of one-shot, once and watch runs. Does not return after a hand-over.
int FinishRun(RunObjects& run) {
  bool handOverDone = false;
  if (UpdateReady()) handOverDone = RestartForReadyUpdate(run.updateThread);
  if (run.updateThread) StopUpdateThread(run.updateThread);
  ReleaseRunObjects(run.mutex, run.mutexHeld);
  if (handOverDone) {
    CoUninitialize();
    ExitProcess(0);
  }
  return 0;
}

void CloseStopEvent() {
  if (g_stopEvent) {
    CloseHandle(g_stopEvent);
    g_stopEvent = nullptr;
  }
}

// Stages 6 to 16; COM is initialised around it by the caller.
int RunStages(const RunOptions& options) {
  PictureSource picture;
  int pictureExit = 0;
  if (!LoadPicture(options.picturePath, picture, pictureExit)) return pictureExit;

  std::wstring stageDir = StageDir();
  std::wstring target;
  if (!StagePicture(picture, options.extractPath, options.force, stageDir, target)) return kExitNoTarget;

  if (options.noPaint) {
    Ok(L"--no-paint：跳过设置壁纸。目标文件 = %ls", target.c_str());
    return 0;
  }
  if (!VerifyStagedFile(target)) return kExitNoTarget;
  if (!CheckDesktopEnvironment()) return kExitNoDesktop;

  RunObjects run;
  if (options.watch && !AcquireWatcherLock(run.mutex, run.mutexHeld)) return kExitWatcherRunning;
  CreateRunEvents();

  if (!PaintOnce(target)) {
    // The update event and a held mutex are left to the process end.
    CloseStopEvent();
    run.mutex.release();
    return kExitPaintFailed;
  }

  if (options.watch || options.autoUpdate) {
    StartUpdateThread(static_cast<unsigned long>(options.updateInterval), run.updateThread);
  } else {
    Info(L"自动更新：已禁用");
  }

  if (options.once || options.watch) InitialCheck(target);

  if (!options.watch && options.checkUpdate) return RunStandaloneUpdateCheck(run.updateThread, run.mutex);
  if (options.watch) WatchLoop(static_cast<unsigned long>(options.interval), target, stageDir, picture.bytes);
  return FinishRun(run);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && _wcsicmp(argv[1], L"--apply-update") == 0) {
    LogLine(L"INFO", L"更新帮手启动，参数已就绪，准备等待旧进程退出");
    return ApplyUpdateMode(argc, argv);
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
