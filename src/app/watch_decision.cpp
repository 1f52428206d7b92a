// What one pass of the watch loop must do.
#include "app/watch_decision.h"

#include <cstdint>

std::uint32_t TicksSince(unsigned long then, unsigned long now) {
  // unsigned long is 64 bits off Windows; the tick is 32 bits everywhere, and so is its difference.
  return static_cast<std::uint32_t>(now) - static_cast<std::uint32_t>(then);
}

unsigned long MillisecondsLeft(unsigned long from, unsigned long span, unsigned long now) {
  const std::uint32_t elapsed = TicksSince(from, now);
  return elapsed >= span ? 0 : static_cast<unsigned long>(span - elapsed);
}

bool HeartbeatDue(unsigned long now, unsigned long lastBeat) { return TicksSince(lastBeat, now) > kHeartbeatAfterMs; }

WatchAction DecideWatchPass(const WatchState& state, WallpaperState shown, unsigned long now) {
  switch (shown) {
    case WallpaperState::kMatch:
      if (!state.healthy) return WatchAction::kReportRecovery;
      return HeartbeatDue(now, state.lastBeat) ? WatchAction::kHeartbeat : WatchAction::kNothing;
    case WallpaperState::kTargetGone:
      return WatchAction::kRebuildThenRepair;
    case WallpaperState::kMismatch:
      break;
  }
  return WatchAction::kRepair;
}

WatchState AfterWatchPass(const WatchState& state, WatchAction action, bool rebuilt, unsigned long now) {
  WatchState next = state;
  switch (action) {
    case WatchAction::kNothing:
      break;
    case WatchAction::kHeartbeat:
      next.lastBeat = now;
      break;
    case WatchAction::kReportRecovery:
      next.healthy = true;
      next.lastBeat = now;
      break;
    case WatchAction::kRebuildThenRepair:
      // Without a file there was no repair either; the next pass tries again.
      if (!rebuilt) break;
      next.healthy = false;
      next.lastBeat = now;
      break;
    case WatchAction::kRepair:
      // A repair counts as trouble whether the set and the re-check worked or not: only a later
      // clean pass reports the recovery.
      next.healthy = false;
      next.lastBeat = now;
      break;
  }
  return next;
}
