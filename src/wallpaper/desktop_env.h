// Checks that a wallpaper set now will reach the logged-in user's desktop.
#pragma once

#include <string>
#include <vector>

#include "support/result.h"

// What the system said, gathered before anything is decided.
struct DesktopProbe {
  bool ownSessionKnown = false;    // ProcessIdToSessionId succeeded for this process
  unsigned long ownSession = 0;    // stays 0 when the query failed
  bool haveShell = false;          // GetShellWindow found a window
  unsigned long shellSession = 0;  // session of the shell's process; 0 when unknown
  bool policyLocked = false;       // HKCU policy "NoChangingWallPaper" read as a non-zero number
  // The user policies that Group Policy writes: "Prevent changing desktop background"
  // (...\Policies\ActiveDesktop "NoChangingWallPaper" non-zero) and "Desktop wallpaper"
  // (...\Policies\System "Wallpaper", the enforced picture; empty when none).
  bool backgroundChangeBlocked = false;
  std::wstring enforcedWallpaper;
};

// The findings in the order they are reported.
enum class DesktopFinding {
  OwnSession,               // info: the own session number
  SessionZero,              // error, logged, blocks
  NoShell,                  // error, blocks
  ShellSession,             // info: the shell's session number
  SessionMismatch,          // warning: own and shell session both non-zero and different
  PolicyLocked,             // error, logged, does not block
  BackgroundChangeBlocked,  // warning, logged, does not block
  WallpaperEnforced,        // warning, logged, does not block
};

struct DesktopVerdict {
  std::vector<DesktopFinding> findings;
  bool blocked = false;
};

// The decision over a probe: every finding is listed, whether or not an earlier one blocks.
DesktopVerdict JudgeDesktop(const DesktopProbe& probe);

// Reports the session, the shell and the wallpaper policy. A failure (Session 0 or no shell window)
// means exit code 4.
Status CheckDesktopEnvironment();
