// How often a change notice may make the watch repair: at most one repair a second, and after a fight
// (five repairs within a minute) a while on the timer alone. Decided from the ticks alone.
#pragma once

#include <array>

inline constexpr unsigned long kEventRepairGapMs = 1000;
inline constexpr unsigned long kEventPassGapMs = 100;  // busy folders wake the watch at most this often
inline constexpr int kFightRepairs = 5;
inline constexpr unsigned long kFightWindowMs = 60000;
inline constexpr unsigned long kTimerOnlyMs = 300000;

// The event-driven repairs of the watch so far. Ticks are GetTickCount values; every difference is
// taken in unsigned 32-bit arithmetic, so the tick's wrap after 49.7 days changes nothing.
struct RepairPace {
  std::array<unsigned long, kFightRepairs> repairs{};  // the latest event-driven repairs, oldest first
  int count = 0;                                       // how many of repairs hold one
  bool passed = false;                                 // an event-driven pass ran, at lastPass
  unsigned long lastPass = 0;
  bool timerOnly = false;  // a fight was seen at timerOnlySince
  unsigned long timerOnlySince = 0;
};

// True while the watch repairs on its timer alone after a fight (kTimerOnlyMs from its start).
bool TimerOnly(const RepairPace& pace, unsigned long now);

// Milliseconds until a change notice may run its pass: 0, or what is left of the second since the
// last event-driven repair or of the kEventPassGapMs since the last event-driven pass.
unsigned long EventPassDelayMs(const RepairPace& pace, unsigned long now);

// Records an event-driven pass that ended at now.
void RecordEventPass(RepairPace& pace, unsigned long now);

// Records an event-driven repair at now (a fight that ended is forgotten first). True when it is the
// fifth within a minute: the watch goes to its timer alone from now.
bool RecordEventRepair(RepairPace& pace, unsigned long now);
