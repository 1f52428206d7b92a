// The start-up sequence: runs the stages in their fixed order, owns the run's objects and turns outcomes
// into exit codes.
#include "app/startup.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <memory>

#include "app/encoding_probe.h"
#include "app/options.h"
#include "app/shell_wait.h"
#include "app/single_instance.h"
#include "app/watch_loop.h"
#include "app/watcher_control.h"
#include "app/watcher_status.h"
#include "support/console.h"
#include "support/handles.h"
#include "support/exit_codes.h"
#include "support/log.h"
#include "support/program_build.h"
#include "support/report.h"
#include "support/state.h"
#include "support/system_dll.h"
#include "update/apply_update.h"
#include "update/managed_install.h"
#include "update/update_channel.h"
#include "update/update_policy.h"
#include "update/update_thread.h"
#include "version.h"
#include "wallpaper/desktop_env.h"
#include "wallpaper/picture_source.h"
#include "wallpaper/staging.h"
#include "wallpaper/wallpaper_apply.h"
#include "wallpaper/wallpaper_check.h"

namespace {

// SetProcessDpiAwarenessContext exists from Windows 10 1703 on; older systems get the plain call.
void DeclareDpiAwareness() {
  const User32Api& user32 = User32();
  if (user32.loadError != ERROR_SUCCESS) return;
  const HANDLE perMonitorAwareV2 = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4));
  if (!user32.setProcessDpiAwarenessContext || !user32.setProcessDpiAwarenessContext(perMonitorAwareV2)) {
    user32.setProcessDpiAware();
  }
}

// Whether the process is attached to a console. Its window is no sure sign: a console host may create
// it a moment after the process started, and a run that missed it attached to its parent's console and
// wrote where nobody read.
bool AttachedToConsole() {
  DWORD process = 0;
  return GetConsoleProcessList(&process, 1) > 0;
}

// Keeps (attaching the parent's when it has none) or gives up the console; true when the process
// then has one to write to.
bool PrepareConsole(bool keep) {
  if (!keep) {
    FreeConsole();
    return false;
  }
  if (!AttachedToConsole() && AttachConsole(ATTACH_PARENT_PROCESS)) {
    FILE* stream = nullptr;
    freopen_s(&stream, "CONOUT$", "w", stdout);
    freopen_s(&stream, "CONOUT$", "w", stderr);
    freopen_s(&stream, "CONIN$", "r", stdin);
  }
  const bool haveConsole = AttachedToConsole() || GetConsoleWindow() != nullptr;
  if (haveConsole) DeclareDpiAwareness();
  return haveConsole;
}

void ShowBanner() {
  Info(L"OKAVU Quillmere  v%ls", kAppVersion);
  std::wstring previous = ReadStateValue(L"PreviousVersion");
  std::wstring when = ReadStateValue(L"LastUpdateTime");
  if (!previous.empty() && !when.empty()) {
    Info(L"上次更新：%ls → %ls（%ls）", previous.c_str(), kAppVersion, when.c_str());
  }
}

// COM on the main thread, for the known-folder calls; the result of the initialisation is not needed.
class ComApartment {
 public:
  ComApartment() : initialised_(ShellOle().loadError == ERROR_SUCCESS) {
    if (initialised_) static_cast<void>(ShellOle().coInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  }
  ~ComApartment() {
    if (initialised_) ShellOle().coUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  const bool initialised_;
};

// What a run owns from its stage to its end. The members end in reverse order, which is the order the
// release needs: the update thread stops first, then the stop signal and the update channel go, and
// the watcher mutex is released last, so a successor that gets it finds this run's events closed. Only
// a watch run has the session's stop signal: it is how a new watcher asks it to give way, and no other
// run may set or clear it.
struct RunObjects {
  HeldMutex watcherLock;
  Result<PublishedStatus> status;  // a watcher's, for "--status" and "--stop"; goes before the lock
  std::shared_ptr<UpdateChannel> updates;
  StopSignal stop;
  UpdateThread updateThread;
};

// A watcher tells the other runs of its session who it is; without the block it still watches.
Result<PublishedStatus> PublishWatcher() {
  WatcherInfo info;
  info.pid = GetCurrentProcessId();
  info.version = kAppVersion;
  GetLocalTime(&info.started);
  Result<PublishedStatus> published = PublishedStatus::Publish(info);
  if (!published) LogLine(LogLevel::kWarn, L"无法公布监视状态 (err=%lu)，--status 看不到本实例", published.error());
  return published;
}

// The common end of one-shot, once and watch runs.
RunEnd FinishRun(RunObjects& run) {
  RunEnd end;
  if (run.updates->HandOverReady()) end.endProcessNow = RestartForReadyUpdate(*run.updates, run.updateThread);
  if (!run.updateThread.Stop()) end.endProcessNow = true;
  // A watcher that gave way leaves the session's signal clear for the watchers that follow.
  run.stop.Clear();
  return end;
}

// Stages 6 to 16; COM is initialised around it by the caller.
RunEnd RunStages(const RunOptions& options, std::vector<std::wstring> forwardedArgs, WallpaperSetter setter) {
  Result<PictureSource> picture = LoadPicture(options.picturePath);
  if (!picture) return {ToInt(ExitCode::kNoPicture)};
  if (!CheckPictureFormat(picture.value)) return {ToInt(ExitCode::kBadPicture)};

  const std::wstring stageDir = StageDir();
  Result<TargetFile> staged = StagePicture(picture.value, options.extractPath, options.force, stageDir);
  if (!staged) return {ToInt(ExitCode::kNoTarget)};
  const std::wstring& target = staged.value.path;

  if (options.noPaint) {
    Ok(L"--no-paint：跳过设置壁纸。目标文件 = %ls", target.c_str());
    return {};
  }
  if (!VerifyStagedFile(target)) return {ToInt(ExitCode::kNoTarget)};
  // Only a watcher outlives a desktop that is still coming up; every other run ends here without one.
  const DesktopReach reach = CheckDesktopEnvironment();
  if (reach == DesktopReach::kUnreachable || (reach == DesktopReach::kNoShellYet && !options.watch)) {
    return {ToInt(ExitCode::kNoDesktop)};
  }

  RunObjects run;
  if (options.watch) {
    Result<HeldMutex> lock = AcquireWatcherLock();
    if (!lock) return {ToInt(ExitCode::kWatcherRunning)};
    run.watcherLock = std::move(lock.value);
    run.stop = StopSignal::Create();
    // From here Ctrl+C ends the watch in order, the wait for the shell included.
    SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
    run.status = PublishWatcher();
  }
  UpdateSettings settings;
  settings.intervalSeconds = static_cast<unsigned long>(options.updateInterval);
  settings.intervalGiven = options.updateIntervalGiven;
  settings.policy = SystemPolicyLookup();
  run.updates = std::make_shared<UpdateChannel>(
      std::move(forwardedArgs), UniqueKernelHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)), std::move(settings));
  const UpdatePolicy policy = run.updates->CurrentPolicy();

  // A waiting watcher already holds the lock and shows in "--status", so "--stop" and a new watcher
  // reach it while it waits.
  if (reach == DesktopReach::kNoShellYet) {
    switch (WaitForShell(SystemShellWaitWorld(run.stop.get()))) {
      case ShellWaitEnd::kShellUp:
        ReportShellArrival();
        break;
      case ShellWaitEnd::kGaveUp:
        return {ToInt(ExitCode::kNoDesktop)};
      case ShellWaitEnd::kStopped:
        return FinishRun(run);
    }
  }

  if (!PaintOnceWith(target, setter)) return {ToInt(ExitCode::kPaintFailed)};

  const bool updates = options.watch || options.autoUpdate;
  // Looked at before the first check, and only by a run that would check.
  const std::wstring managedBy =
      updates && !policy.disableUpdates ? ManagedInstallReason(SystemManagedInstallProbe()) : std::wstring();
  if (updates && policy.disableUpdates) {
    Report(ConsoleLevel::kInfo, L"自动更新：已被策略禁用（%ls）", LogLevel::kInfo, L"自动更新已被策略禁用（%ls）",
           policy.disabledBy.c_str());
  } else if (!managedBy.empty()) {
    Report(ConsoleLevel::kInfo, L"自动更新：新版本由管理员的部署推送，本程序不自行更新（%ls）", LogLevel::kInfo,
           L"受管安装，新版本由管理员的部署推送，不检查更新（%ls）", managedBy.c_str());
  } else if (updates) {
    run.updateThread = StartUpdates(run.updates->IntervalSeconds(policy), run.updates);
  } else {
    Info(L"自动更新：已禁用");
  }

  if (options.once || options.watch) InitialCheck(target);

  if (!options.watch && options.checkUpdate) {
    if (policy.disableUpdates || !managedBy.empty()) return {};  // said above
    const bool handOver = RunStandaloneUpdateCheck(*run.updates, run.updateThread, policy);
    return {ToInt(ExitCode::kSuccess), handOver || run.updateThread.lingers()};
  }
  if (options.watch) {
    WatchLoop(SystemWatchDesktop(run.stop.get(), *run.updates), static_cast<unsigned long>(options.interval),
              staged.value, stageDir, picture.value.bytes);
  }
  return FinishRun(run);
}

// Everything after the first-position dispatch: console, options, and the run they ask for.
RunEnd RunCommandLine(int argc, wchar_t** argv, WallpaperSetter setter) {
  // The windowless build never keeps, attaches or creates a console; it reports through the log.
  const bool haveConsole = PrepareConsole(!RunningWindowless() && KeepsConsole(argc, argv));
  ParsedCommandLine parsed = ParseCommandLine(argc, argv);
  SetConsoleState({haveConsole, parsed.quiet});
  switch (parsed.action) {
    case ParseAction::Help:
      if (haveConsole) Usage(argv[0]);
      return {};
    case ParseAction::Error:
      Fail(L"%ls", parsed.error.c_str());
      if (parsed.helpAfterError && haveConsole) Usage(argv[0]);
      return {ToInt(ExitCode::kUsage)};
    case ParseAction::Version:
      if (haveConsole) PrintVersionLine();
      return {};
    case ParseAction::Status:
      return {ShowWatcherStatus()};
    case ParseAction::Stop:
      return {StopWatcher()};
    case ParseAction::Run:
      break;
  }

  ShowBanner();
  ComApartment com;
  return RunStages(parsed.options, std::move(parsed.fwdArgs), setter);
}

}  // namespace

RunEnd RunProgram(int argc, wchar_t** argv, WallpaperSetter setter) {
  RestrictDllSearch();
  RunEnd end;
  if (argc > 1 && _wcsicmp(argv[1], L"--apply-update") == 0) {
    LogLine(LogLevel::kInfo, L"更新帮手启动，参数已就绪，准备等待旧进程退出");
    end.code = ToInt(ApplyUpdateMode(argc, argv));
  } else if (argc > 1 && _wcsicmp(argv[1], L"--enc-probe") == 0) {
    RunEncodingProbe();
  } else {
    end = RunCommandLine(argc, argv, setter);
  }
  // A run or a helper that fails leaves its reason in the log, also where no console showed it.
  if (end.code != 0) LogLine(LogLevel::kError, L"运行结束，退出码 %d：%ls", end.code, ExitReason(end.code));
  return end;
}
