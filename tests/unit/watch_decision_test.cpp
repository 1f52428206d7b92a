// Watch pass decisions: heartbeat timing, tick wrap-around, recovery and rebuild bookkeeping.
#include "app/watch_decision.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "wallpaper/wallpaper_check.h"

namespace {

constexpr std::uint32_t kMinute = 60000;

struct Event {
  std::uint32_t elapsed;  // milliseconds since the loop started, unwrapped
  WatchAction action;
};

// Runs passes every intervalMs from a loop start at tick `start` for `durationMs`, the way the
// loop does: a pass at start + k * interval sees checkResult(k) and, when it rebuilds, the
// rebuild succeeds as rebuildOk says. Ticks wrap as GetTickCount does.
template <typename CheckFn>
std::vector<Event> Simulate(std::uint32_t start, std::uint32_t intervalMs, std::uint32_t durationMs, CheckFn checkResult,
                            bool rebuildOk = true) {
  std::vector<Event> events;
  WatchState state;
  state.lastBeat = start;
  int pass = 0;
  for (std::uint32_t elapsed = intervalMs; elapsed <= durationMs; elapsed += intervalMs, ++pass) {
    std::uint32_t now = start + elapsed;  // wraps modulo 2^32
    WatchAction action = DecideWatchPass(state, checkResult(pass), now);
    if (action != WatchAction::kNothing) events.push_back({elapsed, action});
    state = AfterWatchPass(state, action, rebuildOk, now);
  }
  return events;
}

std::vector<std::uint32_t> Times(const std::vector<Event>& events, WatchAction which) {
  std::vector<std::uint32_t> times;
  for (const Event& e : events) {
    if (e.action == which) times.push_back(e.elapsed);
  }
  return times;
}

struct QuietCase {
  std::uint32_t start;
  std::uint32_t intervalMs;
};

class QuietWatch : public ::testing::TestWithParam<QuietCase> {};

TEST_P(QuietWatch, ThirtyFiveMinutesGiveThreeHeartbeatsTenMinutesApart) {
  const QuietCase c = GetParam();
  auto events = Simulate(c.start, c.intervalMs, 35 * kMinute, [](int) { return kCheckMatch; });
  std::vector<std::uint32_t> beats = Times(events, WatchAction::kHeartbeat);
  ASSERT_EQ(beats.size(), 3u);
  EXPECT_EQ(events.size(), 3u) << "a quiet watch does nothing but heartbeats";
  EXPECT_GE(beats[0], 10 * kMinute);
  EXPECT_GE(beats[1] - beats[0], 10 * kMinute);
  EXPECT_GE(beats[2] - beats[1], 10 * kMinute);
  // Not much later than due either: within one interval of the ten minutes.
  EXPECT_LE(beats[0], 10 * kMinute + c.intervalMs);
}

INSTANTIATE_TEST_SUITE_P(
    IntervalsAndTickStarts, QuietWatch,
    ::testing::Values(QuietCase{1000, 3000}, QuietCase{0, 1000}, QuietCase{5000, 7000}, QuietCase{0, 60000},
                      // The tick wraps during the run: 5 minutes, and a moment, before 2^32.
                      QuietCase{0xFFFFFFFFu - 5 * kMinute, 3000}, QuietCase{0xFFFFFFFFu, 1000},
                      // The heartbeat falls due right across the wrap.
                      QuietCase{0xFFFFFFFFu - 10 * kMinute + 1, 3000}));

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
    EXPECT_EQ(DecideWatchPass(s, kCheckTargetGone, 2000), WatchAction::kRebuildThenRepair);
    EXPECT_EQ(DecideWatchPass(s, kCheckMismatch, 2000), WatchAction::kRepair);
    // Anything that is neither a match nor a missing file counts as another picture.
    EXPECT_EQ(DecideWatchPass(s, 7, 2000), WatchAction::kRepair);
    EXPECT_EQ(DecideWatchPass(s, -2, 2000), WatchAction::kRepair);
  }
  EXPECT_EQ(DecideWatchPass(healthy, kCheckMatch, 2000), WatchAction::kNothing);
  EXPECT_EQ(DecideWatchPass(troubled, kCheckMatch, 2000), WatchAction::kReportRecovery);
  // Recovery wins over a due heartbeat: the clean pass after trouble is reported, not beaten.
  EXPECT_EQ(DecideWatchPass(troubled, kCheckMatch, 1000 + 20 * kMinute), WatchAction::kReportRecovery);
}

TEST(WatchSequence, RecoveryIsReportedOnceAfterARepair) {
  // Pass 3 finds another picture; the rest find the target.
  auto events = Simulate(1000, 3000, 5 * kMinute, [](int pass) { return pass == 3 ? kCheckMismatch : kCheckMatch; });
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].action, WatchAction::kRepair);
  EXPECT_EQ(events[0].elapsed, 4 * 3000u);
  EXPECT_EQ(events[1].action, WatchAction::kReportRecovery);
  EXPECT_EQ(events[1].elapsed, 5 * 3000u);
}

TEST(WatchSequence, HeartbeatClockRestartsAtRepairAndRecovery) {
  // A repair at 8 minutes, recovery at the next pass: no heartbeat until ten minutes after that.
  const std::uint32_t interval = 3000;
  const int repairPass = static_cast<int>(8 * kMinute / interval);
  auto events = Simulate(0, interval, 25 * kMinute,
                         [&](int pass) { return pass == repairPass ? kCheckMismatch : kCheckMatch; });
  std::vector<std::uint32_t> recoveries = Times(events, WatchAction::kReportRecovery);
  std::vector<std::uint32_t> beats = Times(events, WatchAction::kHeartbeat);
  ASSERT_EQ(recoveries.size(), 1u);
  ASSERT_EQ(beats.size(), 1u);
  EXPECT_GT(beats[0], recoveries[0] + 599999u);
  EXPECT_LE(beats[0], recoveries[0] + 10 * kMinute + interval);
}

TEST(WatchSequence, PersistentTroubleRepairsEveryPassAndNeverBeats) {
  // The set keeps failing: every pass sees another picture, for 35 minutes.
  auto events = Simulate(0, 3000, 35 * kMinute, [](int) { return kCheckMismatch; });
  EXPECT_EQ(events.size(), 35 * kMinute / 3000);
  EXPECT_TRUE(Times(events, WatchAction::kHeartbeat).empty());
  EXPECT_TRUE(Times(events, WatchAction::kReportRecovery).empty());
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

TEST(WatchSequence, FailedRebuildsKeepTheHeartbeatGoing) {
  // Target gone and no folder to rebuild into: the healthy state and its clock stay, so the
  // heartbeat of a watch that started healthy still falls due ten minutes after the start.
  auto events = Simulate(0, 3000, 11 * kMinute, [](int pass) { return pass % 2 == 0 ? kCheckTargetGone : kCheckMatch; },
                         /*rebuildOk=*/false);
  EXPECT_EQ(Times(events, WatchAction::kReportRecovery).size(), 0u);
  EXPECT_EQ(Times(events, WatchAction::kHeartbeat).size(), 1u);

  // After a good rebuild the next clean pass is a recovery.
  auto good = Simulate(0, 3000, 30000, [](int pass) { return pass == 0 ? kCheckTargetGone : kCheckMatch; });
  ASSERT_EQ(good.size(), 2u);
  EXPECT_EQ(good[0].action, WatchAction::kRebuildThenRepair);
  EXPECT_EQ(good[1].action, WatchAction::kReportRecovery);
}

}  // namespace
