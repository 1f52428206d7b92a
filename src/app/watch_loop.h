// The resident part of a watch run.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "support/result.h"
#include "update/update_channel.h"
#include "wallpaper/staging.h"
#include "wallpaper/wallpaper_check.h"

// What ended a wait of the loop short of the end of the watch.
enum class WatchWake {
  kTimeOut,  // the time asked for passed
  kChange,   // a change notice: the desktop settings or the target's folder changed
};

// What the loop asks of the desktop, the picture folder, the change notices, the clock and the run.
// SystemWatchDesktop gives the system's; tests put in a desktop that refuses a set or a folder that
// cannot be found, which Wine never does.
struct WatchDesktop {
  std::function<WallpaperCheck(const std::wstring& target)> check;  // CheckWallpaper
  std::function<void(int style, bool tile)> setStyle;               // SetDesktopStyle
  std::function<Status(const std::wstring& path)> apply;            // ApplyWallpaper
  std::function<std::wstring()> stageDir;                           // StageDir
  std::function<Result<std::wstring>(const std::vector<unsigned char>& data, const std::wstring& path, bool force)>
      stageBytes;  // StageBytes
  // Waits up to milliseconds; ends early when the watch must end and, with listen, on a change notice.
  std::function<WatchWake(unsigned long milliseconds, bool listen)> wait;
  // Arms the change notices for the target's folder, again after one of them woke the loop or for
  // another folder; fails when a notice cannot be armed.
  std::function<Status(const std::wstring& folder)> listen;
  std::function<bool()> ended;          // the stop signal is set or an update is ready
  std::function<unsigned long()> tick;  // GetTickCount
};

// The system's desktop; the watch ends on stopEvent (may be null) or a hand-over on updates.
WatchDesktop SystemWatchDesktop(HANDLE stopEvent, const UpdateChannel& updates);

// Guards target until the watch must end: a pass every interval seconds, and a pass as soon as the
// desktop settings or the target's folder change (at most one repair a second of these; after five
// within a minute, five minutes on the timer alone). A deleted target is written again: the run's own
// file where it was, a source picture used in place into stageDir.
void WatchLoop(const WatchDesktop& desktop, unsigned long interval, const TargetFile& target,
               const std::wstring& stageDir, const std::vector<unsigned char>& pictureBytes);

// The end of a watch, told the same way whatever ended it (the stop signal, a ready update).
void ReportWatchEnd();
