// Watch pass decisions: heartbeat timing, tick wrap-around, recovery and rebuild bookkeeping. Sequences of
// passes are run through the real loop, in watch_loop_test.cpp.
#include "app/watch_decision.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr std::uint32_t kMinute = 60000;

TEST(HeartbeatDue, StrictlyMoreThan599999MillisecondsAcrossTheWrap) {
  EXPECT_FALSE(HeartbeatDue(599999, 0));
  EXPECT_TRUE(HeartbeatDue(600000, 0));
  // lastBeat just before the wrap, now just after it: a small elapsed time, not a huge one.
  EXPECT_FALSE(HeartbeatDue(0x00001000u, 0xFFFFF000u));
  const std::uint32_t beat = 0xFFFFFFFFu - 100000;
  EXPECT_FALSE(HeartbeatDue(static_cast<std::uint32_t>(beat + 599999u), beat));
  EXPECT_TRUE(HeartbeatDue(static_cast<std::uint32_t>(beat + 600000u), beat));
  // A beat one tick in the future reads as 49.7 days ago.
  EXPECT_TRUE(HeartbeatDue(beat - 1, beat));
  EXPECT_FALSE(HeartbeatDue(beat, beat));
}

TEST(DecideWatchPass, CheckResultChoosesTheWork) {
  WatchState healthy;
  healthy.lastBeat = 1000;
  WatchState troubled;
  troubled.healthy = false;
  troubled.lastBeat = 1000;
  for (const WatchState& s : {healthy, troubled}) {
    EXPECT_EQ(DecideWatchPass(s, WallpaperState::kTargetGone, 2000), WatchAction::kRebuildThenRepair);
    EXPECT_EQ(DecideWatchPass(s, WallpaperState::kMismatch, 2000), WatchAction::kRepair);
  }
  EXPECT_EQ(DecideWatchPass(healthy, WallpaperState::kMatch, 2000), WatchAction::kNothing);
  EXPECT_EQ(DecideWatchPass(troubled, WallpaperState::kMatch, 2000), WatchAction::kReportRecovery);
  // Recovery wins over a due heartbeat: the clean pass after trouble is reported, not beaten.
  EXPECT_EQ(DecideWatchPass(troubled, WallpaperState::kMatch, 1000 + 20 * kMinute), WatchAction::kReportRecovery);
}

TEST(AfterWatchPass, FailedRebuildLeavesTheStateAsItWas) {
  for (bool healthy : {true, false}) {
    WatchState before;
    before.healthy = healthy;
    before.lastBeat = 12345;
    WatchState after = AfterWatchPass(before, WatchAction::kRebuildThenRepair, false, 99999);
    EXPECT_EQ(after.healthy, healthy);
    EXPECT_EQ(after.lastBeat, 12345u);
  }
}

TEST(AfterWatchPass, RepairsMarkTroubleAndRestartTheClock) {
  WatchState before;
  before.lastBeat = 5;
  WatchState rebuilt = AfterWatchPass(before, WatchAction::kRebuildThenRepair, true, 777);
  EXPECT_FALSE(rebuilt.healthy);
  EXPECT_EQ(rebuilt.lastBeat, 777u);
  // The rebuild flag means nothing to a plain repair.
  WatchState repaired = AfterWatchPass(before, WatchAction::kRepair, false, 888);
  EXPECT_FALSE(repaired.healthy);
  EXPECT_EQ(repaired.lastBeat, 888u);

  WatchState recovered = AfterWatchPass(repaired, WatchAction::kReportRecovery, false, 999);
  EXPECT_TRUE(recovered.healthy);
  EXPECT_EQ(recovered.lastBeat, 999u);
  WatchState beat = AfterWatchPass(recovered, WatchAction::kHeartbeat, false, 1111);
  EXPECT_TRUE(beat.healthy);
  EXPECT_EQ(beat.lastBeat, 1111u);
  WatchState idle = AfterWatchPass(beat, WatchAction::kNothing, false, 2222);
  EXPECT_EQ(idle.lastBeat, 1111u);
}

}  // namespace
