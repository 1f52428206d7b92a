// The update thread's schedule (first cycle after 5 s, interval from the end of a cycle, stop and ready
// tests) and the end of a run without a ready update.
#include "update/update_thread.h"

#include <gtest/gtest.h>

#include <vector>

#include "update/handover_signal.h"

namespace {

// A clock that only moves when the loop waits or a cycle works; a stop or a ready update can be
// scheduled at a point in time, and waits end early when either happens, as the events make them.
struct FakeSchedule {
  unsigned long now = 0;
  unsigned long cycleSeconds = 0;
  unsigned long stopAt = ~0ul;
  unsigned long readyAt = ~0ul;
  int readyAfterCycle = -1;  // the cycle (1-based) that hands over
  std::vector<unsigned long> cycleStarts;
  std::vector<unsigned long> waits;

  UpdaterLoopSteps Steps() {
    UpdaterLoopSteps steps;
    steps.wait = [this](unsigned long seconds) {
      waits.push_back(seconds);
      unsigned long end = now + seconds;
      unsigned long wake = stopAt < readyAt ? stopAt : readyAt;
      if (wake <= now) return;  // the event is set already
      now = wake < end ? wake : end;
    };
    steps.stopRequested = [this] { return now >= stopAt; };
    steps.updateReady = [this] { return now >= readyAt; };
    steps.runCycle = [this] {
      cycleStarts.push_back(now);
      now += cycleSeconds;
      if (static_cast<int>(cycleStarts.size()) == readyAfterCycle) readyAt = now;
      if (cycleStarts.size() > 50) stopAt = now;  // keeps a broken loop from running forever
    };
    return steps;
  }
};

TEST(UpdaterLoopTest, FirstCycleAfterFiveSecondsThenIntervalAfterEachCycle) {
  FakeSchedule s;
  s.cycleSeconds = 2;
  s.stopAt = 30;
  RunUpdaterLoop(5, s.Steps());
  EXPECT_EQ(s.cycleStarts, (std::vector<unsigned long>{5, 12, 19, 26}));
  EXPECT_EQ(s.waits.front(), 5u);
}

TEST(UpdaterLoopTest, StopDuringTheFirstWaitRunsNoCycle) {
  FakeSchedule s;
  s.stopAt = 3;
  RunUpdaterLoop(30, s.Steps());
  EXPECT_TRUE(s.cycleStarts.empty());
  EXPECT_EQ(s.waits, (std::vector<unsigned long>{5}));
  EXPECT_EQ(s.now, 3u);
}

TEST(UpdaterLoopTest, HandOverEndsTheLoopWithoutAnotherWaitOrCycle) {
  FakeSchedule s;
  s.cycleSeconds = 1;
  s.readyAfterCycle = 2;
  RunUpdaterLoop(30, s.Steps());
  EXPECT_EQ(s.cycleStarts, (std::vector<unsigned long>{5, 36}));
  EXPECT_EQ(s.waits, (std::vector<unsigned long>{5, 30}));
}

TEST(UpdaterLoopTest, UpdateReadyElsewhereEndsTheLoopBeforeACycle) {
  // The standalone check's foreground cycle handed over while the thread waited.
  FakeSchedule s;
  s.readyAt = 4;
  RunUpdaterLoop(30, s.Steps());
  EXPECT_TRUE(s.cycleStarts.empty());
}

TEST(UpdaterLoopTest, StopBetweenCyclesEndsAfterTheWait) {
  FakeSchedule s;
  s.cycleSeconds = 3;
  s.stopAt = 20;
  RunUpdaterLoop(10, s.Steps());
  EXPECT_EQ(s.cycleStarts, (std::vector<unsigned long>{5, 18}));
  EXPECT_EQ(s.now, 21u);
}

TEST(RestartForReadyUpdateTest, WithoutAReadyUpdateItDoesNothing) {
  g_updateReady.store(0);
  UniqueKernelHandle thread(CreateEventW(nullptr, TRUE, FALSE, nullptr));  // stands in for a thread
  HANDLE before = thread.get();
  EXPECT_FALSE(RestartForReadyUpdate(thread));
  EXPECT_EQ(thread.get(), before);  // the thread is left running
}

TEST(RestartForReadyUpdateTest, ReadyWithoutAHelperClearsBothFlags) {
  g_helperPid = 0;
  g_newVerStr = L"1.7.0.0";
  g_updaterBusy.store(1);
  g_updateReady.store(1);
  UniqueKernelHandle thread;
  EXPECT_FALSE(RestartForReadyUpdate(thread));
  EXPECT_EQ(g_updateReady.load(), 0);
  EXPECT_EQ(g_updaterBusy.load(), 0);
}

}  // namespace
