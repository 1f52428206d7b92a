// The watcher's wait for the desktop shell over a clock of its own: ten minutes in polls of two seconds
// in no time, the shell that comes, the one that never does, the stop that ends the wait at once.
#include "app/shell_wait.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures.h"

using namespace fixtures;

namespace {

const std::string kWaitLog = "[INFO] 桌面外壳尚未运行，等待它出现（最多 10 分钟）";
const std::string kWaitConsole = "[INFO ] 桌面外壳尚未运行：监视实例等它出现（最多 10 分钟，每 2 秒看一次）\n";

// A clock that moves only when the wait pauses (by slowMs more than asked, for a busy machine), a
// shell that appears once the clock reaches shellAt (0: never), and a stop at stopAt (0: never).
struct FakeShellWorld {
  unsigned long clock = 0;
  unsigned long slowMs = 0;
  unsigned long shellAt = 0;
  unsigned long stopAt = 0;
  std::vector<unsigned long> pauses;
  int looks = 0;

  ShellWaitWorld World() {
    ShellWaitWorld world;
    world.shellUp = [this] {
      ++looks;
      return shellAt != 0 && clock - shellAt < 0x80000000UL;  // reached, across the tick's wrap too
    };
    world.pause = [this](unsigned long milliseconds) {
      pauses.push_back(milliseconds);
      const unsigned long until = clock + milliseconds + slowMs;
      if (stopAt != 0 && stopAt - clock <= milliseconds) {
        clock = stopAt;
        return true;
      }
      clock = until & 0xFFFFFFFFUL;
      return false;
    };
    world.tick = [this] { return clock; };
    return world;
  }
};

struct Outcome {
  ShellWaitEnd end;
  std::vector<std::string> log;
  std::string out;
  std::string err;
};

Outcome Wait(FakeShellWorld& fake) {
  LogWatch log;
  ConsoleCapture console;
  const ShellWaitEnd end = WaitForShell(fake.World());
  return {end, log.NewLines(), console.Out(), console.Err()};
}

TEST(WaitForShell, AShellThatComesIsSeenAtTheNextLookAndSaidOnce) {
  FakeShellWorld fake;
  fake.clock = 5000;
  fake.shellAt = 5000 + 7000;
  const Outcome o = Wait(fake);
  EXPECT_EQ(o.end, ShellWaitEnd::kShellUp);
  EXPECT_EQ(fake.pauses, (std::vector<unsigned long>{2000, 2000, 2000, 2000}));
  EXPECT_EQ(o.log, (std::vector<std::string>{kWaitLog, "[INFO] 桌面外壳已出现，等了 8 秒"}));
  EXPECT_EQ(o.out, kWaitConsole + "[INFO ] 桌面外壳已出现（等了 8 秒），继续\n");
  EXPECT_EQ(o.err, "");
}

TEST(WaitForShell, AShellThatNeverComesEndsTheWaitAfterExactlyTenMinutesAcrossTheTickWrap) {
  FakeShellWorld fake;
  fake.clock = 0xFFFFFFFFUL - 61000;
  const Outcome o = Wait(fake);
  EXPECT_EQ(o.end, ShellWaitEnd::kGaveUp);
  EXPECT_EQ(fake.pauses, std::vector<unsigned long>(300, 2000));
  EXPECT_EQ(fake.looks, 300) << "a last look at the deadline itself";
  EXPECT_EQ(o.log, std::vector<std::string>{kWaitLog}) << "the run's end names the missing shell";
  EXPECT_EQ(o.err, "[ERROR] 等了 10 分钟，桌面外壳仍未出现\n");
}

TEST(WaitForShell, ASlowMachineDoesNotStretchTheDeadline) {
  FakeShellWorld fake;
  fake.slowMs = 500;  // every pause takes half a second longer than asked
  const Outcome o = Wait(fake);
  EXPECT_EQ(o.end, ShellWaitEnd::kGaveUp);
  unsigned long asked = 0;
  for (unsigned long p : fake.pauses) asked += p;
  // 240 pauses of 2.5 s fill the ten minutes; nothing is left for another.
  EXPECT_EQ(fake.pauses.size(), 240u);
  EXPECT_EQ(asked + 500 * fake.pauses.size(), kShellWaitMs);
}

TEST(WaitForShell, TheLastPauseIsCutToTheDeadline) {
  FakeShellWorld fake;
  fake.slowMs = 700;  // 2.7 s a poll: 222 polls make 599.4 s, the last pause is 0.6 s
  const Outcome o = Wait(fake);
  EXPECT_EQ(o.end, ShellWaitEnd::kGaveUp);
  ASSERT_EQ(fake.pauses.size(), 223u);
  EXPECT_EQ(fake.pauses.back(), 600u);
}

TEST(WaitForShell, AStopEndsTheWaitAtOnceAsAWatchEnds) {
  FakeShellWorld fake;
  fake.stopAt = 4500;
  fake.shellAt = 30000;
  const Outcome o = Wait(fake);
  EXPECT_EQ(o.end, ShellWaitEnd::kStopped);
  EXPECT_EQ(fake.clock, 4500u) << "not at the end of the poll";
  EXPECT_EQ(fake.looks, 2) << "no look after the stop";
  EXPECT_EQ(o.log, (std::vector<std::string>{kWaitLog, "[INFO] 监视结束"}));
  EXPECT_EQ(o.out, kWaitConsole + "[INFO ] 收到退出信号，监视结束。\n");
}

}  // namespace
