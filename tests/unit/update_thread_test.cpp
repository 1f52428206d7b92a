// The update thread's loop (the first check, the pace after each check under the policy of the moment, the
// back-off of local faults across runs, stop and ready tests) and the end of a run without a ready update.
#include "update/update_thread.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fixtures.h"

namespace {

// A clock in milliseconds that only moves when the loop waits or a cycle works; a stop or a ready update
// can be scheduled at a point in time, and waits end early when either happens, as the events make them.
// The random source gives 0: every window's start.
struct FakeSchedule {
  std::int64_t now = 0;
  std::int64_t cycleMs = 0;
  std::int64_t stopAt = INT64_MAX;
  std::int64_t readyAt = INT64_MAX;
  int readyAfterCycle = -1;  // the cycle (1-based) that hands over
  std::vector<CheckOutcome> outcomes;  // what the cycles come to, in turn; then kManifest
  unsigned long interval = 10;         // the policy's, read before every check
  int policyReads = 0;
  std::vector<std::int64_t> cycleStarts;
  std::vector<std::int64_t> waits;
  std::vector<int> kept;  // the local fault counts kept for later runs

  UpdaterLoopSteps Steps() {
    UpdaterLoopSteps steps;
    steps.wait = [this](std::int64_t ms) {
      waits.push_back(ms);
      const std::int64_t end = now + ms;
      const std::int64_t wake = stopAt < readyAt ? stopAt : readyAt;
      if (wake <= now) return;  // the event is set already
      now = wake < end ? wake : end;
    };
    steps.policy = [this] {
      ++policyReads;
      UpdatePolicy policy;
      policy.intervalSeconds = interval;
      return policy;
    };
    steps.pace = [](const UpdatePolicy& policy) { return CheckPace{static_cast<std::int64_t>(policy.intervalSeconds), 0}; };
    steps.random = [] { return 0.0; };
    steps.stopRequested = [this] { return now >= stopAt; };
    steps.updateReady = [this] { return now >= readyAt; };
    steps.runCycle = [this](const UpdatePolicy&) {
      cycleStarts.push_back(now);
      now += cycleMs;
      if (static_cast<int>(cycleStarts.size()) == readyAfterCycle) readyAt = now;
      if (cycleStarts.size() > 50) stopAt = now;  // keeps a broken loop from running forever
      CheckReport report;
      report.outcome = CheckOutcome::kManifest;
      if (!outcomes.empty()) {
        report.outcome = outcomes.front();
        outcomes.erase(outcomes.begin());
      }
      return report;
    };
    steps.keepLocalFaults = [this](int count) { kept.push_back(count); };
    return steps;
  }
};

TEST(UpdaterLoopTest, FirstCheckInItsWindowThenTheJitteredIntervalAfterEachCycleUnderThePolicyOfTheMoment) {
  FakeSchedule s;
  s.cycleMs = 2000;
  s.stopAt = 40000;
  const UpdaterLoopSteps steps = s.Steps();
  // The policy's interval changes during the second check: the wait after the next check follows it.
  UpdaterLoopSteps changing = steps;
  changing.runCycle = [&](const UpdatePolicy& policy) {
    if (s.cycleStarts.size() == 1) s.interval = 20;
    return steps.runCycle(policy);
  };
  RunUpdaterLoop(changing);
  // 5 s, then 0.9 x 10 s after each 2-second cycle, then 0.9 x 20 s.
  EXPECT_EQ(s.cycleStarts, (std::vector<std::int64_t>{5000, 16000, 27000}));
  EXPECT_EQ(s.waits, (std::vector<std::int64_t>{5000, 9000, 9000, 18000}));
  EXPECT_EQ(s.policyReads, 1 + 3) << "once for the first wait, then before every check";
}

TEST(UpdaterLoopTest, StopOrAReadyUpdateEndsTheLoopWithoutAnotherCycle) {
  FakeSchedule stopped;
  stopped.stopAt = 3000;
  RunUpdaterLoop(stopped.Steps());
  EXPECT_TRUE(stopped.cycleStarts.empty()) << "a stop during the first wait runs no cycle";
  EXPECT_EQ(stopped.now, 3000);

  FakeSchedule handedOver;
  handedOver.cycleMs = 1000;
  handedOver.readyAfterCycle = 2;
  RunUpdaterLoop(handedOver.Steps());
  EXPECT_EQ(handedOver.cycleStarts, (std::vector<std::int64_t>{5000, 15000}));
  EXPECT_EQ(handedOver.waits, (std::vector<std::int64_t>{5000, 9000}));

  // The standalone check's foreground cycle handed over while the thread waited.
  FakeSchedule elsewhere;
  elsewhere.readyAt = 4000;
  RunUpdaterLoop(elsewhere.Steps());
  EXPECT_TRUE(elsewhere.cycleStarts.empty());
}

TEST(UpdaterLoopTest, LocalFaultsOfEarlierRunsKeepTheirBackOffAndNewOnesAreKept) {
  FakeSchedule s;
  s.outcomes = {CheckOutcome::kLocalFault, CheckOutcome::kManifest};
  s.stopAt = 200000;
  UpdaterLoopSteps steps = s.Steps();
  steps.localFaults = 2;  // W = 40 s: from 20 s
  RunUpdaterLoop(steps);
  ASSERT_GE(s.waits.size(), 3u);
  EXPECT_EQ(s.waits[0], 20000) << "the run starts where the earlier one's back-off was";
  EXPECT_EQ(s.waits[1], 40000) << "the third fault in a row: W = 80 s, from 40 s";
  EXPECT_EQ(s.waits[2], 9000) << "a manifest since does not end the local count, and pays the interval";
  EXPECT_EQ(s.kept, std::vector<int>{3});
}

// A running update thread, ended by the test.
class UpdateThreadTest : public ::testing::Test {
 protected:
  std::shared_ptr<UpdateChannel> channel_ =
      std::make_shared<UpdateChannel>(std::vector<std::wstring>{}, UniqueKernelHandle());
};

TEST_F(UpdateThreadTest, WithoutAReadyUpdateRestartDoesNothingAndLeavesTheThreadRunning) {
  Result<UpdateThread> thread = UpdateThread::Start(channel_);
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
  Result<UpdateThread> thread = UpdateThread::Start(channel_);
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
