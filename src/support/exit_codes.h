// Every process exit code of the program, in one place: the runs' and the update helper's.
#pragma once

// What a run ends with; documented in the README.
enum class ExitCode : int {
  kSuccess = 0,
  kPaintFailed = 1,     // Windows refused the wallpaper at the first set
  kNoPicture = 2,       // no usable picture
  kBadPicture = 3,      // picture too short or not a supported format
  kNoDesktop = 4,       // a service session, or no shell running
  kNoTarget = 5,        // the wallpaper file could not be written or re-read
  kWatcherRunning = 6,  // another watcher runs and did not give way ("--stop": it did not end in time)
  kNoWatcher = 10,      // "--status", "--stop": no watcher runs in this session
  kUsage = 64,          // command-line error
};

// What the "--apply-update" helper ends with.
enum class HelperExit : int {
  kDone = 0,             // new version started (or its start failed, logged), or another helper works
  kVersionMismatch = 7,  // the new file's version differs; nothing replaced
  kReplaceFailed = 8,    // the move failed after every retry; the old executable is unchanged
  kTargetIsSelf = 9,     // the target is the helper's own executable
  kUsage = 64,           // arguments missing
};

// Why a run or the helper ended with code, in a few words for its last log line; empty for 0 and
// unknown codes. The two share kUsage.
const wchar_t* ExitReason(int code);

constexpr int ToInt(ExitCode code) { return static_cast<int>(code); }
constexpr int ToInt(HelperExit code) { return static_cast<int>(code); }
