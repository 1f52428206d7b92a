// The update thread's schedule (first cycle after 5 s, interval from the end of a cycle, stop and ready
// tests) and the end of a run without a ready update.
#include "update/update_thread.h"

#include <gtest/gtest.h>

#include <vector>

#include "fixtures.h"

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
  std::vector<unsigned long> spreads;  // the extra seconds the policy's spread gives, in turn

  UpdaterLoopSteps Steps() {
    UpdaterLoopSteps steps;
    steps.wait = [this](unsigned long seconds) {
      waits.push_back(seconds);
      unsigned long end = now + seconds;
      unsigned long wake = stopAt < readyAt ? stopAt : readyAt;
      if (wake <= now) return;  // the event is set already
      now = wake < end ? wake : end;
    };
    steps.spread = [this] {
      if (spreads.empty()) return 0ul;
      const unsigned long extra = spreads.front();
      spreads.erase(spreads.begin());
      return extra;
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

TEST(UpdaterLoopTest, ASpreadLengthensEveryWaitBeforeACycleTheFirstOneToo) {
  FakeSchedule s;
  s.cycleSeconds = 1;
  s.spreads = {17, 0, 29};
  s.stopAt = 100;
  RunUpdaterLoop(30, s.Steps());
  EXPECT_EQ(s.cycleStarts, (std::vector<unsigned long>{22, 53}));
  EXPECT_EQ(s.waits, (std::vector<unsigned long>{22, 30, 59}));
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

// A running update thread, ended by the test.
class UpdateThreadTest : public ::testing::Test {
 protected:
  std::shared_ptr<UpdateChannel> channel_ =
      std::make_shared<UpdateChannel>(std::vector<std::wstring>{}, UniqueKernelHandle());
};

TEST_F(UpdateThreadTest, WithoutAReadyUpdateRestartDoesNothingAndLeavesTheThreadRunning) {
  Result<UpdateThread> thread = UpdateThread::Start(30, 0, channel_);
  ASSERT_TRUE(thread.ok());
  fixtures::LogWatch log;
  EXPECT_FALSE(RestartForReadyUpdate(*channel_, thread.value));
  EXPECT_TRUE(thread.value.running());
  EXPECT_TRUE(log.NewLines().empty());
  // Stopping sets the thread's own signal and ends it at once, inside its first 5-second wait.
  EXPECT_TRUE(thread.value.Stop());
  EXPECT_FALSE(thread.value.running());
  EXPECT_FALSE(thread.value.lingers());
}

TEST_F(UpdateThreadTest, ReadyWithoutAHelperClearsBothFlagsAndStopsTheThread) {
  Result<UpdateThread> thread = UpdateThread::Start(30, 0, channel_);
  ASSERT_TRUE(thread.ok());
  ASSERT_TRUE(channel_->TryBeginCycle());
  channel_->PublishHandOver(HandOver{0, L"C:\\x\\OKAVU.new.exe", L"1.7.0.0"});
  fixtures::LogWatch log;
  EXPECT_FALSE(RestartForReadyUpdate(*channel_, thread.value));
  EXPECT_FALSE(channel_->HandOverReady());
  EXPECT_TRUE(channel_->TryBeginCycle()) << "the busy flag must be free again";
  EXPECT_FALSE(thread.value.running());
  EXPECT_EQ(log.NewLines(), (std::vector<std::string>{"[INFO] 开始应用更新：目标版本 1.7.0.0",
                                                      "[ERROR] 更新帮手未就绪，放弃本次更新"}));
}

}  // namespace
