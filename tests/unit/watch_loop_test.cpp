// The watch loop over a simulated desktop and clock: its messages for every branch, including a refused
// set and a missing picture folder, which Wine cannot produce, and 35 minutes of heartbeats in no time.
#include "app/watch_loop.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/single_instance.h"
#include "support/log.h"
#include "update/handover_signal.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

const std::wstring kTarget = L"C:\\users\\me\\Pictures\\OKAVU-wallpaper.png";
const std::wstring kOther = L"C:\\其他\\other.png";

struct StageCall {
  std::wstring path;
  bool force;
  size_t size;
};

// A desktop that shows one path, a file system that knows which files exist, and a clock that moves
// only when the loop waits. The loop ends after `passes` checks.
struct FakeWorld {
  std::wstring shows = kTarget;
  std::set<std::wstring> files{kTarget};
  bool applyWorks = true;
  bool stageWorks = true;
  std::wstring stageDirAnswer;
  unsigned long clock = 0;
  int passes = 0;
  int waited = 0;
  int checks = 0;
  int styleCalls = 0;
  int stageDirCalls = 0;
  std::vector<unsigned long> waits;
  std::vector<std::wstring> applied;
  std::vector<StageCall> staged;
  std::function<void(int pass)> beforePass;  // what happens in the world during the wait
  HANDLE stop = nullptr;
};

FakeWorld* g_world = nullptr;

int FakeCheck(const std::wstring& target, std::wstring* actual) {
  ++g_world->checks;
  if (!g_world->files.count(target)) {
    *actual = L"(目标文件已被删除)";
    return -1;
  }
  if (g_world->shows != target) {
    *actual = g_world->shows;
    return 1;
  }
  return 0;
}

void FakeSetStyle(int style, bool tile) {
  EXPECT_EQ(style, 10);
  EXPECT_FALSE(tile);
  ++g_world->styleCalls;
}

bool FakeApply(const std::wstring& path) {
  g_world->applied.push_back(path);
  if (!g_world->applyWorks) return false;
  g_world->shows = path;
  return true;
}

std::wstring FakeStageDir() {
  ++g_world->stageDirCalls;
  return g_world->stageDirAnswer;
}

bool FakeStageBytes(const std::vector<unsigned char>& data, const std::wstring& path, bool force,
                    std::wstring& target) {
  g_world->staged.push_back({path, force, data.size()});
  if (!g_world->stageWorks) return false;
  g_world->files.insert(path);
  target = path;
  return true;
}

void FakeWait(unsigned long seconds) {
  g_world->waits.push_back(seconds);
  g_world->clock += seconds * 1000UL;  // wraps like the tick
  ++g_world->waited;
  if (g_world->waited > g_world->passes) {
    SetEvent(g_world->stop);
    return;
  }
  if (g_world->beforePass) g_world->beforePass(g_world->waited);
}

unsigned long FakeTick() { return g_world->clock; }

WatchDesktop FakeDesktop() {
  WatchDesktop d;
  d.check = FakeCheck;
  d.setStyle = FakeSetStyle;
  d.apply = FakeApply;
  d.stageDir = FakeStageDir;
  d.stageBytes = FakeStageBytes;
  d.wait = FakeWait;
  d.tick = FakeTick;
  return d;
}

std::vector<std::string> Repeat(const std::vector<std::string>& lines, int times) {
  std::vector<std::string> all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), lines.begin(), lines.end());
  return all;
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class WatchLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(stop_);
    world_.stop = stop_.get();
    g_world = &world_;
    g_stopEvent = stop_.get();
    g_updateReady.store(0);
  }
  void TearDown() override {
    g_stopEvent = nullptr;
    g_updateReady.store(0);
    g_world = nullptr;
  }

  // Runs the loop for passes checks (then the stop event ends it) with console and log captured.
  void Run(int passes, unsigned long interval = 3, const std::wstring& stageDir = L"C:\\users\\me\\Pictures") {
    world_.passes = passes;
    LogWatch log;
    ConsoleCapture console;
    WatchLoopWith(FakeDesktop(), interval, kTarget, stageDir, picture_);
    out_ = console.Out();
    err_ = console.Err();
    log_ = log.NewLines();
  }

  std::vector<std::string> StartLines(unsigned long interval = 3) const {
    return {"[INFO] " + U8(Format(L"监视启动，间隔=%lu 秒，目标=%ls", interval, kTarget.c_str()))};
  }
  static std::string Line(const char* level, const std::wstring& text) { return std::string("[") + level + "] " + U8(text); }

  FakeWorld world_;
  UniqueKernelHandle stop_;
  std::vector<unsigned char> picture_ = std::vector<unsigned char>(1234, 0x42);
  std::string out_;
  std::string err_;
  std::vector<std::string> log_;
};

const std::string kEndLog = "[INFO] 监视结束";
const std::string kEndConsole = "[INFO ] 收到退出信号，监视结束。\n";

TEST_F(WatchLoopTest, StartsReportsAndEndsOnTheStopEventBeforeAnyCheck) {
  Run(0, 7);
  EXPECT_EQ(out_, "[INFO ] === 监视模式：每 7 秒检查一次 ===\n"
                  "[INFO ] 目标墙纸：" + U8(kTarget) + "\n"
                  "[INFO ] 日志文件：" + U8(LogPath()) + "\n"
                  "[INFO ] 按 Ctrl+C 退出。\n" + kEndConsole);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(log_, Concat({StartLines(7), {kEndLog}}));
  EXPECT_EQ(world_.checks, 0);
  EXPECT_EQ(world_.waits, std::vector<unsigned long>{7});
}

TEST_F(WatchLoopTest, ReadyUpdateEndsTheWatchWithTheSameMessages) {
  world_.beforePass = [](int pass) {
    if (pass == 3) g_updateReady.store(1);
  };
  Run(100);
  EXPECT_EQ(world_.checks, 2);
  EXPECT_EQ(log_, Concat({StartLines(), {kEndLog}}));
  EXPECT_NE(out_.find(kEndConsole), std::string::npos);
}

TEST_F(WatchLoopTest, ThirtyFiveQuietMinutesLogThreeHeartbeatsAcrossTheTickWrap) {
  world_.clock = 0xFFFFFFFFUL - 5 * 60000UL;
  Run(35 * 60 / 3);
  const std::string beat = Line("INFO", L"心跳：墙纸正常（" + kTarget + L"）");
  EXPECT_EQ(log_, Concat({StartLines(), {beat, beat, beat}, {kEndLog}}));
  EXPECT_EQ(err_, "");
  EXPECT_EQ(out_.find("[ OK  ]"), std::string::npos);
  EXPECT_TRUE(world_.applied.empty());
}

TEST_F(WatchLoopTest, ChangedWallpaperIsPutBackRecheckedAndTheRecoveryReportedOnce) {
  world_.beforePass = [](int pass) {
    if (pass == 2) g_world->shows = kOther;
  };
  Run(5);
  EXPECT_EQ(log_, Concat({StartLines(),
                          {Line("WARN", L"检测到壁纸被改为：" + kOther), Line("INFO", L"已改回目标墙纸：" + kTarget),
                           Line("INFO", L"恢复正常：" + kTarget), kEndLog}}));
  EXPECT_EQ(err_, "[WARN ] 检测到桌面壁纸被改成：" + U8(kOther) + "\n");
  EXPECT_NE(out_.find("[INFO ] 按 Ctrl+C 退出。\n"
                      "[ OK  ] 已改回：" + U8(kTarget) + "\n"
                      "[ OK  ] 复查通过：桌面已恢复为目标墙纸。\n"
                      "[INFO ] 壁纸正常。\n" + kEndConsole),
            std::string::npos)
      << out_;
  EXPECT_EQ(world_.applied, std::vector<std::wstring>{kTarget});
  EXPECT_EQ(world_.styleCalls, 1);
  // One check per pass plus the re-check after the repair.
  EXPECT_EQ(world_.checks, 6);
}

TEST_F(WatchLoopTest, RefusedSetIsRetriedEveryPassWithoutHeartbeatUntilTheDesktopIsRight) {
  // Under a wallpaper policy every set fails; passes five minutes apart, so a heartbeat would be due.
  world_.applyWorks = false;
  world_.beforePass = [](int pass) {
    if (pass == 1) g_world->shows = kOther;
    if (pass == 9) g_world->shows = kTarget;  // the policy is lifted and someone sets it
  };
  Run(10, 300);
  const std::vector<std::string> failedPass = {Line("WARN", L"检测到壁纸被改为：" + kOther),
                                               Line("ERROR", L"改回失败，300 秒后重试"),
                                               Line("WARN", L"复查未通过，实际为：" + kOther)};
  EXPECT_EQ(log_, Concat({StartLines(300), Repeat(failedPass, 8), {Line("INFO", L"恢复正常：" + kTarget), kEndLog}}));
  const std::string failedConsole =
      "[WARN ] 检测到桌面壁纸被改成：" + U8(kOther) + "\n[WARN ] 复查未通过，实际为：" + U8(kOther) + "\n";
  std::string expectedErr;
  for (int i = 0; i < 8; ++i) expectedErr += failedConsole;
  EXPECT_EQ(err_, expectedErr);
  EXPECT_EQ(out_.find("已改回"), std::string::npos) << "a refused set reports no success";
  EXPECT_EQ(world_.applied.size(), 8u);
}

TEST_F(WatchLoopTest, MissingTargetWithoutPictureFolderIsRetriedThenRebuiltWhenOneAppears) {
  world_.files.clear();  // the target is gone
  world_.beforePass = [](int pass) {
    if (pass == 4) g_world->stageDirAnswer = L"C:\\图片";
  };
  Run(6, 3, L"");
  const std::wstring rebuilt = L"C:\\图片\\OKAVU-wallpaper.png";
  const std::vector<std::string> failedPass = {Line("WARN", L"目标墙纸文件丢失，重建：" + kTarget),
                                               Line("ERROR", L"重建失败，3 秒后重试")};
  EXPECT_EQ(log_, Concat({StartLines(), Repeat(failedPass, 3),
                          {Line("WARN", L"目标墙纸文件丢失，重建：" + kTarget), Line("INFO", L"已改回目标墙纸：" + rebuilt),
                           Line("INFO", L"恢复正常：" + rebuilt), kEndLog}}));
  // The folder is asked for afresh at every rebuild, and not at all once the file is back.
  EXPECT_EQ(world_.stageDirCalls, 4);
  ASSERT_EQ(world_.staged.size(), 1u);
  EXPECT_EQ(world_.staged[0].path, rebuilt);
  EXPECT_TRUE(world_.staged[0].force);
  EXPECT_EQ(world_.staged[0].size, picture_.size());
  EXPECT_EQ(world_.applied, std::vector<std::wstring>{rebuilt});
  EXPECT_NE(err_.find("[WARN ] 目标文件已不存在，正在重建：" + U8(kTarget) + "\n"), std::string::npos);
  EXPECT_NE(out_.find("[ OK  ] 已改回：" + U8(rebuilt) + "\n"), std::string::npos);
}

TEST_F(WatchLoopTest, FailedWriteIsRetriedInTheStartupFolderAndLaterMessagesNameTheNewFile) {
  // The run guarded an --extract file; rebuilds always go to the picture folder found at start-up.
  const std::wstring extracted = L"D:\\mine.png";
  world_.files = {extracted};
  world_.shows = extracted;
  world_.stageWorks = false;
  world_.beforePass = [](int pass) {
    if (pass == 1) g_world->files.clear();
    if (pass == 3) g_world->stageWorks = true;
    if (pass == 5) g_world->shows = kOther;
  };
  world_.passes = 6;
  LogWatch log;
  ConsoleCapture console;
  WatchLoopWith(FakeDesktop(), 2, extracted, L"C:\\users\\me\\Pictures\\", picture_);
  std::vector<std::string> lines = log.NewLines();

  const std::vector<std::string> failedPass = {Line("WARN", L"目标墙纸文件丢失，重建：" + extracted),
                                               Line("ERROR", L"重建失败，2 秒后重试")};
  std::vector<std::string> expected = {Line("INFO", L"监视启动，间隔=2 秒，目标=" + extracted)};
  expected = Concat({expected, Repeat(failedPass, 2),
                     {Line("WARN", L"目标墙纸文件丢失，重建：" + extracted), Line("INFO", L"已改回目标墙纸：" + kTarget),
                      Line("INFO", L"恢复正常：" + kTarget), Line("WARN", L"检测到壁纸被改为：" + kOther),
                      Line("INFO", L"已改回目标墙纸：" + kTarget), Line("INFO", L"恢复正常：" + kTarget), kEndLog}});
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(world_.stageDirCalls, 0);
  ASSERT_EQ(world_.staged.size(), 3u);
  for (const StageCall& call : world_.staged) {
    EXPECT_EQ(call.path, kTarget);
    EXPECT_TRUE(call.force);
  }
}

}  // namespace
