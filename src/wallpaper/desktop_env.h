// Checks that a wallpaper set now will reach the logged-in user's desktop.
#pragma once

#include <string>
#include <vector>

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
  // The kind of desktop background the user chose (HKCU ...\Explorer\Wallpapers "BackgroundType":
  // 0 picture, 1 solid colour, 2 slideshow, 3 Windows Spotlight); known only when it could be read.
  bool backgroundTypeKnown = false;
  unsigned long backgroundType = 0;
  // A desktop image set by the Personalization configuration service provider (HKLM ...\PersonalizationCSP
  // "DesktopImagePath", empty when none, and "DesktopImageStatus", 1 once the image is in place).
  std::wstring cspDesktopImage;
  bool cspStatusKnown = false;
  unsigned long cspStatus = 0;
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
  BackgroundNotPicture,     // warning, logged, does not block: solid colour, slideshow, Spotlight or other
  CspDesktopImage,          // warning, logged, does not block: the service provider's image wins
};

// Whether a wallpaper set now reaches the user.
enum class DesktopReach {
  kReady,        // paint now
  kNoShellYet,   // only the shell window is missing: a watcher may wait for it (exit code 4 otherwise)
  kUnreachable,  // Session 0: exit code 4
};

struct DesktopVerdict {
  std::vector<DesktopFinding> findings;
  DesktopReach reach = DesktopReach::kReady;
};

// The decision over a probe: every finding is listed, whether or not an earlier one blocks.
DesktopVerdict JudgeDesktop(const DesktopProbe& probe);

// Reports the session, the shell, the wallpaper policies and the settings that change the wallpaper on
// their own, and says whether the run can paint.
DesktopReach CheckDesktopEnvironment();

// True when the session has a shell window now.
bool ShellWindowPresent();

// For a shell that came after the first check: reports its session, and a mismatch, as that check does.
void ReportShellArrival();
