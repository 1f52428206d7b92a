// The resident part of a watch run: check, put back, rebuild and heartbeat until told to stop.
#include "app/watch_loop.h"

#include <windows.h>

#include "app/single_instance.h"
#include "app/watch_decision.h"
#include "support/console.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/report.h"
#include "support/wait.h"
#include "wallpaper/staging.h"
#include "wallpaper/wallpaper_apply.h"

namespace {

// Writes the picture again as "OKAVU-wallpaper.png" in the picture folder, whatever the target was
// before. True with the written path in target; a failure is logged and retried next pass.
bool RebuildTarget(const WatchDesktop& desktop, const std::wstring& stageDirCopy,
                   const std::vector<unsigned char>& pictureBytes, unsigned long interval, std::wstring& target) {
  // A folder unknown at start-up is asked for again each time, and not remembered.
  std::wstring folder = stageDirCopy.empty() ? desktop.stageDir() : stageDirCopy;
  Result<std::wstring> written;
  if (!folder.empty()) written = desktop.stageBytes(pictureBytes, Join(folder, kStagedFileName), true);
  if (!written) {
    LogLine(LogLevel::kError, L"重建失败，%lu 秒后重试", interval);
    return false;
  }
  target = written.value;
  return true;
}

// Sets the target again and checks at once whether it held. Returns the tick taken right after
// the set, which restarts the heartbeat clock.
unsigned long RepairAndRecheck(const WatchDesktop& desktop, const std::wstring& target, unsigned long interval) {
  desktop.setStyle(kStyleFill, false);
  if (desktop.apply(target)) {
    Report(ConsoleLevel::kOk, L"已改回：%ls", LogLevel::kInfo, L"已改回目标墙纸：%ls", target.c_str());
  } else {
    LogLine(LogLevel::kError, L"改回失败，%lu 秒后重试", interval);
  }
  unsigned long tick = desktop.tick();

  const WallpaperCheck recheck = desktop.check(target);
  if (recheck.state == WallpaperState::kMatch) {
    Ok(L"复查通过：桌面已恢复为目标墙纸。");
  } else {
    Report(ConsoleLevel::kWarn, L"复查未通过，实际为：%ls", LogLevel::kWarn, L"复查未通过，实际为：%ls",
           recheck.actual.c_str());
  }
  return tick;
}

}  // namespace

WatchDesktop SystemWatchDesktop(HANDLE stopEvent, const UpdateChannel& updates) {
  WatchDesktop desktop;
  desktop.check = CheckWallpaper;
  desktop.setStyle = SetDesktopStyle;
  desktop.apply = ApplyWallpaper;
  desktop.stageDir = StageDir;
  desktop.stageBytes = StageBytes;
  const HANDLE ready = updates.readyEvent();
  desktop.wait = [stopEvent, ready](unsigned long seconds) { WaitSecondsOrSignal(seconds, {stopEvent, ready}); };
  desktop.ended = [stopEvent, &updates] { return IsSignalled(stopEvent) || updates.HandOverReady(); };
  desktop.tick = []() -> unsigned long { return GetTickCount(); };
  return desktop;
}

void WatchLoop(const WatchDesktop& desktop, unsigned long interval, const std::wstring& target,
               const std::wstring& stageDir, const std::vector<unsigned char>& pictureBytes) {
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  const std::wstring stageDirCopy = stageDir;
  std::wstring current = target;

  Report(ConsoleLevel::kInfo, L"=== 监视模式：每 %lu 秒检查一次 ===", LogLevel::kInfo, L"监视启动，间隔=%lu 秒，目标=%ls",
         interval, current.c_str());
  Info(L"目标墙纸：%ls", current.c_str());
  Info(L"日志文件：%ls", LogPath().c_str());
  Info(L"按 Ctrl+C 退出。");

  WatchState state;
  state.lastBeat = desktop.tick();

  for (;;) {
    desktop.wait(interval);
    // Both events are manual-reset: once either is set, the wait above returns at once and the
    // watch ends in this pass.
    if (desktop.ended()) {
      Report(ConsoleLevel::kInfo, L"收到退出信号，监视结束。", LogLevel::kInfo, L"监视结束");
      return;
    }

    const WallpaperCheck check = desktop.check(current);
    unsigned long tick = desktop.tick();
    WatchAction action = DecideWatchPass(state, check.state, tick);
    bool rebuilt = false;
    switch (action) {
      case WatchAction::kNothing:
        break;
      case WatchAction::kHeartbeat:
        LogLine(LogLevel::kInfo, L"心跳：墙纸正常（%ls）", current.c_str());
        break;
      case WatchAction::kReportRecovery:
        Report(ConsoleLevel::kInfo, L"壁纸正常。", LogLevel::kInfo, L"恢复正常：%ls", current.c_str());
        break;
      case WatchAction::kRebuildThenRepair:
        Report(ConsoleLevel::kWarn, L"目标文件已不存在，正在重建：%ls", LogLevel::kWarn, L"目标墙纸文件丢失，重建：%ls",
               current.c_str());
        rebuilt = RebuildTarget(desktop, stageDirCopy, pictureBytes, interval, current);
        if (rebuilt) tick = RepairAndRecheck(desktop, current, interval);
        break;
      case WatchAction::kRepair:
        Report(ConsoleLevel::kWarn, L"检测到桌面壁纸被改成：%ls", LogLevel::kWarn, L"检测到壁纸被改为：%ls",
               check.actual.c_str());
        tick = RepairAndRecheck(desktop, current, interval);
        break;
    }
    state = AfterWatchPass(state, action, rebuilt, tick);
  }
}
