// The resident part of a watch run.
#pragma once

#include <string>
#include <vector>

// Guards target every interval seconds until the stop event or a ready update ends the watch.
void WatchLoop(unsigned long interval, const std::wstring& target, const std::wstring& stageDir,
               const std::vector<unsigned char>& pictureBytes);

// What the loop asks of the desktop, the picture folder and the clock. WatchLoop uses the system's;
// tests put in a desktop that refuses a set or a folder that cannot be found, which Wine never does.
struct WatchDesktop {
  int (*check)(const std::wstring& target, std::wstring* actual);  // CheckWallpaper
  void (*setStyle)(int style, bool tile);                           // SetDesktopStyle
  bool (*apply)(const std::wstring& path);                          // ApplyWallpaper
  std::wstring (*stageDir)();                                       // StageDir
  bool (*stageBytes)(const std::vector<unsigned char>& data, const std::wstring& path, bool force,
                     std::wstring& target);                         // StageBytes
  void (*wait)(unsigned long seconds);                              // WaitSecondsOrStop
  unsigned long (*tick)();                                          // GetTickCount
};

WatchDesktop SystemWatchDesktop();

// WatchLoop over the given desktop; the stop event and the update flag are the real ones.
void WatchLoopWith(const WatchDesktop& desktop, unsigned long interval, const std::wstring& target,
                   const std::wstring& stageDir, const std::vector<unsigned char>& pictureBytes);
