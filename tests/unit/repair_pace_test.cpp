// The pace of repairs set off by change notices, over a clock that the test moves.
#include "app/repair_pace.h"

#include <gtest/gtest.h>

TEST(RepairPaceTest, APassWaitsASecondAfterARepairAndATenthAfterAPass) {
  RepairPace pace;
  EXPECT_EQ(EventPassDelayMs(pace, 5000), 0u) << "the first notice is acted on at once";
  EXPECT_FALSE(RecordEventRepair(pace, 5000));
  RecordEventPass(pace, 5000);
  EXPECT_EQ(EventPassDelayMs(pace, 5001), 999u);
  EXPECT_EQ(EventPassDelayMs(pace, 6000), 0u);
  RecordEventPass(pace, 6000);  // a pass that found nothing to do
  EXPECT_EQ(EventPassDelayMs(pace, 6040), 60u);
  EXPECT_EQ(EventPassDelayMs(pace, 6100), 0u);
}

TEST(RepairPaceTest, FiveRepairsWithinAMinuteMeanTheTimerAloneForFiveMinutes) {
  RepairPace pace;
  for (unsigned long at : {0UL, 10000UL, 20000UL, 30000UL}) EXPECT_FALSE(RecordEventRepair(pace, at));
  EXPECT_TRUE(RecordEventRepair(pace, 59999));
  EXPECT_TRUE(TimerOnly(pace, 59999));
  EXPECT_TRUE(TimerOnly(pace, 59999 + 299999));
  EXPECT_FALSE(TimerOnly(pace, 59999 + 300000));
  // Afterwards the count starts afresh.
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(RecordEventRepair(pace, 400000 + 1000UL * i));
  EXPECT_TRUE(RecordEventRepair(pace, 404000));
}

TEST(RepairPaceTest, RepairsSpreadOverMoreThanAMinuteAreNoFight) {
  RepairPace pace;
  for (unsigned long at = 0; at <= 15000 * 20; at += 15000) EXPECT_FALSE(RecordEventRepair(pace, at)) << at;
  EXPECT_FALSE(TimerOnly(pace, 15000 * 20));
}

TEST(RepairPaceTest, TheTicksWrapWithoutEffect) {
  RepairPace pace;
  const unsigned long start = 0xFFFFFFFFUL - 2000;
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(RecordEventRepair(pace, start + 1000UL * i));
  EXPECT_EQ(EventPassDelayMs(pace, start + 3500), 500u);
  EXPECT_TRUE(RecordEventRepair(pace, start + 4000));
  EXPECT_TRUE(TimerOnly(pace, start + 4000 + 299999));
  EXPECT_FALSE(TimerOnly(pace, start + 4000 + 300000));
}
