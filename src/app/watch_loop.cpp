// The resident part of a watch run: check, put back, rebuild and heartbeat until told to stop.
#include "app/watch_loop.h"

#include <windows.h>

#include "app/single_instance.h"
#include "app/watch_decision.h"
#include "support/console.h"
#include "support/log.h"
#include "support/paths.h"
#include "update/handover_signal.h"
#include "wallpaper/staging.h"
#include "wallpaper/wallpaper_apply.h"
#include "wallpaper/wallpaper_check.h"

namespace {

// Writes the picture again as "OKAVU-wallpaper.png" in the picture folder, whatever the target was
// before. True with the written path in target; a failure is logged and retried next pass.
bool RebuildTarget(const WatchDesktop& desktop, const std::wstring& stageDirCopy,
                   const std::vector<unsigned char>& pictureBytes, unsigned long interval, std::wstring& target) {
  // A folder unknown at start-up is asked for again each time, and not remembered.
  std::wstring folder = stageDirCopy.empty() ? desktop.stageDir() : stageDirCopy;
  std::wstring written;
  if (folder.empty() || !desktop.stageBytes(pictureBytes, Join(folder, kStagedFileName), true, written)) {
    LogLine(L"ERROR", L"重建失败，%lu 秒后重试", interval);
    return false;
  }
  target = written;
  return true;
}

// Sets the target again and checks at once whether it held. Returns the tick taken right after
// the set, which restarts the heartbeat clock.
unsigned long RepairAndRecheck(const WatchDesktop& desktop, const std::wstring& target, unsigned long interval) {
  desktop.setStyle(kStyleFill, false);
  if (desktop.apply(target)) {
    Ok(L"已改回：%ls", target.c_str());
    LogLine(L"INFO", L"已改回目标墙纸：%ls", target.c_str());
  } else {
    LogLine(L"ERROR", L"改回失败，%lu 秒后重试", interval);
  }
  unsigned long tick = desktop.tick();

  std::wstring actual;
  if (desktop.check(target, &actual) == kCheckMatch) {
    Ok(L"复查通过：桌面已恢复为目标墙纸。");
  } else {
    Warn(L"复查未通过，实际为：%ls", actual.c_str());
    LogLine(L"WARN", L"复查未通过，实际为：%ls", actual.c_str());
  }
  return tick;
}

}  // namespace

WatchDesktop SystemWatchDesktop() {
  WatchDesktop desktop;
  desktop.check = CheckWallpaper;
  desktop.setStyle = SetDesktopStyle;
  desktop.apply = ApplyWallpaper;
  desktop.stageDir = StageDir;
  desktop.stageBytes = StageBytes;
  desktop.wait = WaitSecondsOrStop;
  desktop.tick = []() -> unsigned long { return GetTickCount(); };
  return desktop;
}

void WatchLoop(unsigned long interval, const std::wstring& target, const std::wstring& stageDir,
               const std::vector<unsigned char>& pictureBytes) {
  WatchLoopWith(SystemWatchDesktop(), interval, target, stageDir, pictureBytes);
}

void WatchLoopWith(const WatchDesktop& desktop, unsigned long interval, const std::wstring& target,
                   const std::wstring& stageDir, const std::vector<unsigned char>& pictureBytes) {
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  const std::wstring stageDirCopy = stageDir;
  std::wstring current = target;

  Info(L"=== 监视模式：每 %lu 秒检查一次 ===", interval);
  Info(L"目标墙纸：%ls", current.c_str());
  Info(L"日志文件：%ls", LogPath().c_str());
  Info(L"按 Ctrl+C 退出。");
  LogLine(L"INFO", L"监视启动，间隔=%lu 秒，目标=%ls", interval, current.c_str());

  WatchState state;
  state.lastBeat = desktop.tick();

  for (;;) {
    desktop.wait(interval);
    // Both events are manual-reset: once either is set, the wait above returns at once and the
    // watch ends in this pass.
    if (StopRequested() || UpdateReady()) {
      Info(L"收到退出信号，监视结束。");
      LogLine(L"INFO", L"监视结束");
      return;
    }

    std::wstring actual;
    int result = desktop.check(current, &actual);
    unsigned long tick = desktop.tick();
    WatchAction action = DecideWatchPass(state, result, tick);
    bool rebuilt = false;
    switch (action) {
      case WatchAction::kNothing:
        break;
      case WatchAction::kHeartbeat:
        LogLine(L"INFO", L"心跳：墙纸正常（%ls）", current.c_str());
        break;
      case WatchAction::kReportRecovery:
        Info(L"壁纸正常。");
        LogLine(L"INFO", L"恢复正常：%ls", current.c_str());
        break;
      case WatchAction::kRebuildThenRepair:
        Warn(L"目标文件已不存在，正在重建：%ls", current.c_str());
        LogLine(L"WARN", L"目标墙纸文件丢失，重建：%ls", current.c_str());
        rebuilt = RebuildTarget(desktop, stageDirCopy, pictureBytes, interval, current);
        if (rebuilt) tick = RepairAndRecheck(desktop, current, interval);
        break;
      case WatchAction::kRepair:
        Warn(L"检测到桌面壁纸被改成：%ls", actual.c_str());
        LogLine(L"WARN", L"检测到壁纸被改为：%ls", actual.c_str());
        tick = RepairAndRecheck(desktop, current, interval);
        break;
    }
    state = AfterWatchPass(state, action, rebuilt, tick);
  }
}
