// The pace of event-driven repairs.
#include "app/repair_pace.h"

#include <algorithm>

#include "app/watch_decision.h"

bool TimerOnly(const RepairPace& pace, unsigned long now) {
  return pace.timerOnly && TicksSince(pace.timerOnlySince, now) < kTimerOnlyMs;
}

unsigned long EventPassDelayMs(const RepairPace& pace, unsigned long now) {
  unsigned long delay = 0;
  if (pace.count > 0)
    delay = MillisecondsLeft(pace.repairs[static_cast<size_t>(pace.count - 1)], kEventRepairGapMs, now);
  if (pace.passed) delay = std::max(delay, MillisecondsLeft(pace.lastPass, kEventPassGapMs, now));
  return delay;
}

void RecordEventPass(RepairPace& pace, unsigned long now) {
  pace.passed = true;
  pace.lastPass = now;
}

bool RecordEventRepair(RepairPace& pace, unsigned long now) {
  if (pace.timerOnly && !TimerOnly(pace, now)) pace = RepairPace{};
  if (pace.count == kFightRepairs) {
    for (int i = 1; i < kFightRepairs; ++i)
      pace.repairs[static_cast<size_t>(i - 1)] = pace.repairs[static_cast<size_t>(i)];
    --pace.count;
  }
  pace.repairs[static_cast<size_t>(pace.count++)] = now;
  if (pace.count < kFightRepairs || TicksSince(pace.repairs[0], now) >= kFightWindowMs) return false;
  pace.timerOnly = true;
  pace.timerOnlySince = now;
  return true;
}
