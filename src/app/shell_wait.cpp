// The wait of a watcher for the desktop shell.
#include "app/shell_wait.h"

#include <algorithm>

#include "app/watch_decision.h"
#include "app/watch_loop.h"
#include "support/console.h"
#include "support/report.h"
#include "support/wait.h"
#include "wallpaper/desktop_env.h"

ShellWaitWorld SystemShellWaitWorld(HANDLE stopEvent) {
  ShellWaitWorld world;
  world.shellUp = ShellWindowPresent;
  world.pause = [stopEvent](unsigned long milliseconds) { return WaitForFirst(milliseconds, {stopEvent}) != nullptr; };
  world.tick = []() -> unsigned long { return GetTickCount(); };
  return world;
}

ShellWaitEnd WaitForShell(const ShellWaitWorld& world) {
  Report(ConsoleLevel::kInfo, L"桌面外壳尚未运行：监视实例等它出现（最多 %lu 分钟，每 %lu 秒看一次）", LogLevel::kInfo,
         L"桌面外壳尚未运行，等待它出现（最多 %lu 分钟）", kShellWaitMs / 60000, kShellPollMs / 1000);
  const unsigned long start = world.tick();
  for (;;) {
    // The deadline counts from the start, not in polls: a slow poll does not stretch the ten minutes.
    const unsigned long left = MillisecondsLeft(start, kShellWaitMs, world.tick());
    if (left == 0) {
      Fail(L"等了 %lu 分钟，桌面外壳仍未出现", kShellWaitMs / 60000);
      return ShellWaitEnd::kGaveUp;
    }
    if (world.pause(std::min(kShellPollMs, left))) {
      ReportWatchEnd();
      return ShellWaitEnd::kStopped;
    }
    if (world.shellUp()) {
      Report(ConsoleLevel::kInfo, L"桌面外壳已出现（等了 %lu 秒），继续", LogLevel::kInfo,
             L"桌面外壳已出现，等了 %lu 秒", static_cast<unsigned long>(TicksSince(start, world.tick()) / 1000));
      return ShellWaitEnd::kShellUp;
    }
  }
}
