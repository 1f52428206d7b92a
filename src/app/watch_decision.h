// What one pass of the watch loop must do, decided from the check result and the loop's state alone.
#pragma once

#include <cstdint>

#include "wallpaper/wallpaper_check.h"

// The loop's memory between passes.
struct WatchState {
  bool healthy = true;         // last check passed and no repair has happened since
  unsigned long lastBeat = 0;  // GetTickCount of the last heartbeat, repair or recovery
};

enum class WatchAction {
  kNothing,            // target shown, heartbeat not due yet
  kHeartbeat,          // target shown for ten minutes since lastBeat: one log line
  kReportRecovery,     // target shown again after a repair
  kRebuildThenRepair,  // target file gone: write it again, then set it
  kRepair,             // another picture shown: set the target again
};

// Ten minutes of the 32-bit millisecond tick; the heartbeat is due once strictly more has passed.
inline constexpr unsigned long kHeartbeatAfterMs = 599999;

// Milliseconds from the tick then to the tick now, in unsigned 32-bit arithmetic, so it stays right
// across the tick's wrap after 49.7 days.
std::uint32_t TicksSince(unsigned long then, unsigned long now);

// What is left of span milliseconds that began at the tick from: 0 once they have passed.
unsigned long MillisecondsLeft(unsigned long from, unsigned long span, unsigned long now);

// True when more than kHeartbeatAfterMs passed from lastBeat to now. The difference is taken in
// unsigned 32-bit arithmetic, so it stays right across the tick's wrap after 49.7 days.
bool HeartbeatDue(unsigned long now, unsigned long lastBeat);

WatchAction DecideWatchPass(const WatchState& state, WallpaperState shown, unsigned long now);

// The state after a pass did action. rebuilt tells whether a rebuild wrote the file (only read for
// kRebuildThenRepair: a failed rebuild changes nothing); now is the tick taken after the work.
WatchState AfterWatchPass(const WatchState& state, WatchAction action, bool rebuilt, unsigned long now);
