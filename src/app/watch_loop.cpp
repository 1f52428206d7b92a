// The resident part of a watch run: check, put back, rebuild and heartbeat until told to stop.
#include "app/watch_loop.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "app/repair_pace.h"
#include "app/watch_decision.h"
#include "support/console.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/report.h"
#include "support/wait.h"
#include "wallpaper/desktop_changes.h"
#include "wallpaper/staging.h"
#include "wallpaper/wallpaper_apply.h"

namespace {

// Writes the picture again. The run's own file goes back where it was, so the desktop keeps showing
// what the administrator chose; a source picture used in place is the user's, not recreated: the
// picture goes to the picture folder as "OKAVU-wallpaper.png", which is the run's own file from then
// on. True with the written file in target; a failure is logged and retried next pass.
bool RebuildTarget(const WatchDesktop& desktop, const std::wstring& stageDirCopy,
                   const std::vector<unsigned char>& pictureBytes, unsigned long interval, TargetFile& target) {
  std::wstring path = target.path;
  if (!target.ownFile) {
    // A folder unknown at start-up is asked for again each time, and not remembered.
    const std::wstring folder = stageDirCopy.empty() ? desktop.stageDir() : stageDirCopy;
    path = folder.empty() ? std::wstring() : Join(folder, kStagedFileName);
  }
  Result<std::wstring> written;
  if (!path.empty()) written = desktop.stageBytes(pictureBytes, path, true);
  if (!written) {
    LogLine(LogLevel::kError, L"重建失败，%lu 秒后重试", interval);
    return false;
  }
  target = TargetFile{written.value, true};
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

// What a pass works with besides the loop's state.
struct PassContext {
  const WatchDesktop& desktop;
  const std::wstring& stageDirCopy;
  const std::vector<unsigned char>& pictureBytes;
  unsigned long interval;
};

// One pass: the check, the work the decision asks for, and the state after it; true when it set the
// target again. A pass woken by a change notice acts only on trouble: the recovery report and the
// heartbeat stay with the timer's passes, as does the pass that the loop's own repair sets off.
bool RunPass(const PassContext& pass, bool byChange, WatchState& state, TargetFile& current) {
  const WatchDesktop& desktop = pass.desktop;
  const WallpaperCheck check = desktop.check(current.path);
  unsigned long tick = desktop.tick();
  WatchAction action = DecideWatchPass(state, check.state, tick);
  if (byChange && (action == WatchAction::kHeartbeat || action == WatchAction::kReportRecovery)) {
    action = WatchAction::kNothing;
  }
  bool rebuilt = false;
  switch (action) {
    case WatchAction::kNothing:
      break;
    case WatchAction::kHeartbeat:
      LogLine(LogLevel::kInfo, L"心跳：墙纸正常（%ls）", current.path.c_str());
      break;
    case WatchAction::kReportRecovery:
      Report(ConsoleLevel::kInfo, L"壁纸正常。", LogLevel::kInfo, L"恢复正常：%ls", current.path.c_str());
      break;
    case WatchAction::kRebuildThenRepair:
      Report(ConsoleLevel::kWarn, L"目标文件已不存在，正在重建：%ls", LogLevel::kWarn, L"目标墙纸文件丢失，重建：%ls",
             current.path.c_str());
      rebuilt = RebuildTarget(desktop, pass.stageDirCopy, pass.pictureBytes, pass.interval, current);
      if (rebuilt) tick = RepairAndRecheck(desktop, current.path, pass.interval);
      break;
    case WatchAction::kRepair:
      Report(ConsoleLevel::kWarn, L"检测到桌面壁纸被改成：%ls", LogLevel::kWarn, L"检测到壁纸被改为：%ls",
             check.actual.c_str());
      tick = RepairAndRecheck(desktop, current.path, pass.interval);
      break;
  }
  state = AfterWatchPass(state, action, rebuilt, tick);
  return action == WatchAction::kRepair || rebuilt;
}

// Arms the change notices for the target's folder; when that fails the watch goes on with its timer
// alone for good, and says so once.
bool Listen(const WatchDesktop& desktop, const std::wstring& target, unsigned long interval) {
  const Status armed = desktop.listen(FolderOf(target, target));
  if (armed) return true;
  Report(ConsoleLevel::kWarn, L"无法监听墙纸设置的变化 (err=%lu)，只按每 %lu 秒的定时检查修复", LogLevel::kWarn,
         L"监听墙纸变化失败 (err=%lu)，仅定时检查（每 %lu 秒）", armed.error(), interval);
  return false;
}

}  // namespace

void ReportWatchEnd() { Report(ConsoleLevel::kInfo, L"收到退出信号，监视结束。", LogLevel::kInfo, L"监视结束"); }

WatchDesktop SystemWatchDesktop(HANDLE stopEvent, const UpdateChannel& updates) {
  WatchDesktop desktop;
  desktop.check = CheckWallpaper;
  desktop.setStyle = SetDesktopStyle;
  desktop.apply = ApplyWallpaper;
  desktop.stageDir = StageDir;
  desktop.stageBytes = StageBytes;
  const HANDLE ready = updates.readyEvent();
  // The notices and the one of them that woke the loop last, re-armed at the next listen.
  struct Notices {
    DesktopChanges changes;
    HANDLE woke = nullptr;
  };
  auto notices = std::make_shared<Notices>();
  desktop.wait = [stopEvent, ready, notices](unsigned long milliseconds, bool listen) {
    const HANDLE settings = listen ? notices->changes.settingsSignal() : nullptr;
    const HANDLE folder = listen ? notices->changes.folderSignal() : nullptr;
    const HANDLE woke = WaitForFirst(milliseconds, {stopEvent, ready, settings, folder});
    if (!woke || (woke != settings && woke != folder)) return WatchWake::kTimeOut;
    notices->woke = woke;
    return WatchWake::kChange;
  };
  desktop.listen = [notices](const std::wstring& folder) {
    const HANDLE woke = std::exchange(notices->woke, nullptr);
    const Status rearmed = notices->changes.Rearm(woke);
    if (!rearmed) return rearmed;
    return notices->changes.Arm(folder);
  };
  desktop.ended = [stopEvent, &updates] { return IsSignalled(stopEvent) || updates.HandOverReady(); };
  desktop.tick = []() -> unsigned long { return GetTickCount(); };
  return desktop;
}

void WatchLoop(const WatchDesktop& desktop, unsigned long interval, const TargetFile& target,
               const std::wstring& stageDir, const std::vector<unsigned char>& pictureBytes) {
  const std::wstring stageDirCopy = stageDir;
  TargetFile current = target;

  Report(ConsoleLevel::kInfo, L"=== 监视模式：每 %lu 秒检查一次 ===", LogLevel::kInfo,
         L"监视启动，间隔=%lu 秒，目标=%ls", interval, current.path.c_str());
  Info(L"目标墙纸：%ls", current.path.c_str());
  Info(L"日志文件：%ls", LogPath().c_str());
  Info(L"按 Ctrl+C 退出。");

  const PassContext pass{desktop, stageDirCopy, pictureBytes, interval};
  const unsigned long intervalMs = static_cast<unsigned long>(interval * 1000UL);
  WatchState state;
  state.lastBeat = desktop.tick();
  RepairPace pace;
  bool listening = Listen(desktop, current.path, interval);
  bool changed = false;  // a change notice waits for its pass
  unsigned long timerFrom = desktop.tick();

  for (;;) {
    // The timer's passes keep their schedule; a change notice adds a pass between them.
    const unsigned long now = desktop.tick();
    unsigned long waitMs = MillisecondsLeft(timerFrom, intervalMs, now);
    if (changed) waitMs = std::min(waitMs, EventPassDelayMs(pace, now));
    const bool listenNow = listening && !changed && !TimerOnly(pace, now);
    if (desktop.wait(waitMs, listenNow) == WatchWake::kChange) changed = true;
    // Both end events are manual-reset: once either is set, every wait returns at once and the watch
    // ends in this pass.
    if (desktop.ended()) {
      ReportWatchEnd();
      return;
    }

    const unsigned long woke = desktop.tick();
    const bool byTimer = MillisecondsLeft(timerFrom, intervalMs, woke) == 0;
    if (!byTimer && !(changed && !TimerOnly(pace, woke) && EventPassDelayMs(pace, woke) == 0)) continue;
    const bool repaired = RunPass(pass, !byTimer, state, current);
    const unsigned long done = desktop.tick();
    if (byTimer) timerFrom = done;
    if (!byTimer) RecordEventPass(pace, done);
    if (!byTimer && repaired && RecordEventRepair(pace, done)) {
      Report(ConsoleLevel::kWarn,
             L"一分钟内已改回 %d 次，似乎有别的程序在反复更换墙纸：接下来 %lu 分钟只按每 %lu 秒的定时检查修复",
             LogLevel::kWarn, L"一分钟内改回 %d 次，疑与其他程序争抢墙纸，%lu 分钟内仅定时检查（每 %lu 秒）",
             kFightRepairs, kTimerOnlyMs / 60000UL, interval);
    }
    changed = false;
    // Armed again only now, so the loop's own repair does not wake it.
    if (listening) listening = Listen(desktop, current.path, interval);
  }
}
