// The watch loop over a simulated desktop and clock: its messages for every branch, including a refused
// set and a missing picture folder, which Wine cannot produce, and 35 minutes of heartbeats in no time.
#include "app/watch_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/watch_decision.h"
#include "support/log.h"
#include "support/wait.h"
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
  bool ended = false;                        // the stop signal or a ready update
  // Another program sets its picture at these ticks (a change notice then wakes a listening loop);
  // with them, the watch ends once the clock reaches endAt rather than after `passes` waits.
  std::vector<unsigned long> changesAt;
  unsigned long endAt = 0;
  std::vector<unsigned long> passTicks;  // when each check ran
  std::vector<unsigned long> listens;    // when the loop armed its notices
};

FakeWorld* g_world = nullptr;

WallpaperCheck FakeCheck(const std::wstring& target) {
  ++g_world->checks;
  g_world->passTicks.push_back(g_world->clock);
  if (!g_world->files.count(target)) return {WallpaperState::kTargetGone, L"(目标文件已被删除)"};
  if (g_world->shows != target) return {WallpaperState::kMismatch, g_world->shows};
  return {WallpaperState::kMatch, L""};
}

void FakeSetStyle(int style, bool tile) {
  EXPECT_EQ(style, 10);
  EXPECT_FALSE(tile);
  ++g_world->styleCalls;
}

Status FakeApply(const std::wstring& path) {
  g_world->applied.push_back(path);
  if (!g_world->applyWorks) return Status::Failure(ERROR_ACCESS_DENIED);
  g_world->shows = path;
  return Status::Success();
}

std::wstring FakeStageDir() {
  ++g_world->stageDirCalls;
  return g_world->stageDirAnswer;
}

Result<std::wstring> FakeStageBytes(const std::vector<unsigned char>& data, const std::wstring& path, bool force) {
  g_world->staged.push_back({path, force, data.size()});
  if (!g_world->stageWorks) return Status::Failure(ERROR_ACCESS_DENIED);
  g_world->files.insert(path);
  return path;
}

WatchWake FakeWait(unsigned long milliseconds, bool listen) {
  FakeWorld& w = *g_world;
  if (w.endAt != 0) {
    // The world of changes: other programs set their picture; a listening loop hears each at once.
    const unsigned long until = w.clock + milliseconds;
    while (!w.changesAt.empty() && w.changesAt.front() <= until) {
      const unsigned long at = w.changesAt.front();
      w.changesAt.erase(w.changesAt.begin());
      if (at > w.clock) w.clock = at;
      w.shows = kOther;
      if (listen) return WatchWake::kChange;
    }
    w.clock = until;
    w.ended = w.clock >= w.endAt;
    return WatchWake::kTimeOut;
  }
  w.waits.push_back(milliseconds / 1000UL);
  w.clock += milliseconds;  // wraps like the tick
  ++w.waited;
  if (w.waited > w.passes) {
    w.ended = true;
    return WatchWake::kTimeOut;
  }
  if (w.beforePass) w.beforePass(w.waited);
  return WatchWake::kTimeOut;
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
  d.listen = [](const std::wstring&) {
    g_world->listens.push_back(g_world->clock);
    return Status::Success();
  };
  d.ended = [] { return g_world->ended; };
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
  void SetUp() override { g_world = &world_; }
  void TearDown() override { g_world = nullptr; }

  // Runs the loop for passes checks (then the stop event ends it) with console and log captured.
  void Run(int passes, unsigned long interval = 3, const std::wstring& stageDir = L"C:\\users\\me\\Pictures",
           const WatchDesktop& desktop = FakeDesktop()) {
    world_.passes = passes;
    LogWatch log;
    ConsoleCapture console;
    WatchLoop(desktop, interval, TargetFile{kTarget, ownTarget_}, stageDir, picture_);
    out_ = console.Out();
    err_ = console.Err();
    log_ = log.NewLines();
  }

  std::vector<std::string> StartLines(unsigned long interval = 3) const {
    return {"[INFO] " + U8(Format(L"监视启动，间隔=%lu 秒，目标=%ls", interval, kTarget.c_str()))};
  }
  static std::string Line(const char* level, const std::wstring& text) {
    return std::string("[") + level + "] " + U8(text);
  }

  FakeWorld world_;
  bool ownTarget_ = true;  // the run wrote kTarget (staged); false: a source picture used in place
  std::vector<unsigned char> picture_ = std::vector<unsigned char>(1234, 0x42);
  std::string out_;
  std::string err_;
  std::vector<std::string> log_;
};

const std::string kEndLog = "[INFO] 监视结束";
const std::string kEndConsole = "[INFO ] 收到退出信号，监视结束。\n";

TEST_F(WatchLoopTest, StartsReportsAndEndsOnTheStopEventBeforeAnyCheck) {
  Run(0, 7);
  EXPECT_EQ(out_,
            "[INFO ] === 监视模式：每 7 秒检查一次 ===\n"
            "[INFO ] 目标墙纸：" +
                U8(kTarget) +
                "\n"
                "[INFO ] 日志文件：" +
                U8(LogPath()) +
                "\n"
                "[INFO ] 按 Ctrl+C 退出。\n" +
                kEndConsole);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(log_, Concat({StartLines(7), {kEndLog}}));
  EXPECT_EQ(world_.checks, 0);
  EXPECT_EQ(world_.waits, std::vector<unsigned long>{7});
}

TEST_F(WatchLoopTest, ReadyUpdateEndsTheWatchWithTheSameMessages) {
  // The system desktop's end test: the stop signal, or a hand-over on the update channel.
  UniqueKernelHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UpdateChannel updates({}, UniqueKernelHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  const WatchDesktop system = SystemWatchDesktop(stop.get(), updates);
  EXPECT_FALSE(system.ended());
  SetEvent(stop.get());
  EXPECT_TRUE(system.ended());
  ResetEvent(stop.get());
  EXPECT_FALSE(system.ended());

  // The loop asks that end test: a hand-over published during its third wait ends it there. (The
  // fake's own end after 100 passes only keeps a broken end test from hanging the test.)
  WatchDesktop desktop = FakeDesktop();
  desktop.ended = [&] { return system.ended() || world_.ended; };
  world_.beforePass = [&](int pass) {
    if (pass == 3) updates.PublishHandOver(HandOver{});
  };
  Run(100, 3, L"C:\\users\\me\\Pictures", desktop);
  EXPECT_TRUE(IsSignalled(updates.readyEvent())) << "the hand-over wakes the loop's wait";
  EXPECT_EQ(world_.checks, 2);
  EXPECT_EQ(log_, Concat({StartLines(), {kEndLog}}));
  EXPECT_NE(out_.find(kEndConsole), std::string::npos);
}

TEST_F(WatchLoopTest, AChangeIsRepairedWhenItIsHeardAndTheTimerKeepsItsSchedule) {
  world_.changesAt = {10000, 100000};
  world_.endAt = 150000;
  Run(0, 60);
  // Each change is repaired (and re-checked) when it is heard; the recovery waits for the timer's pass.
  EXPECT_EQ(world_.passTicks, (std::vector<unsigned long>{10000, 10000, 60000, 100000, 100000, 120000}));
  const std::string detected = Line("WARN", L"检测到壁纸被改为：" + kOther);
  const std::string repaired = Line("INFO", L"已改回目标墙纸：" + kTarget);
  const std::string recovered = Line("INFO", L"恢复正常：" + kTarget);
  EXPECT_EQ(log_, Concat({StartLines(60), Repeat({detected, repaired, recovered}, 2), {kEndLog}}));
  // Armed at the start and again after each pass, never between a repair and its re-check.
  EXPECT_EQ(world_.listens, (std::vector<unsigned long>{0, 10000, 60000, 100000, 120000}));
}

TEST_F(WatchLoopTest, AFightIsRepairedOnceASecondThenOnTheTimerAloneSayingSoOnce) {
  // Another program sets its picture ten times a second for 29 seconds.
  for (unsigned long at = 1000; at < 30000; at += 100) world_.changesAt.push_back(at);
  world_.endAt = 31000;
  Run(0, 3);
  const std::string fight = Line("WARN", L"一分钟内改回 5 次，疑与其他程序争抢墙纸，5 分钟内仅定时检查（每 3 秒）");
  EXPECT_EQ(std::count(log_.begin(), log_.end(), fight), 1);
  EXPECT_NE(
      err_.find("[WARN ] 一分钟内已改回 5 次，似乎有别的程序在反复更换墙纸：接下来 5 分钟只按每 3 秒的定时检查修复\n"),
      std::string::npos);
  // Five passes on notices, a second or more apart, beside the timer's; after the fifth, the timer's alone.
  std::vector<unsigned long> byNotice;
  for (size_t i = 0; i < world_.passTicks.size(); i += 2) {
    if (world_.passTicks[i] % 3000 != 0) byNotice.push_back(world_.passTicks[i]);
  }
  EXPECT_EQ(byNotice, (std::vector<unsigned long>{1000, 2000, 3100, 4100, 5100}));
  EXPECT_EQ(world_.passTicks.back(), 30000u);
  EXPECT_EQ(world_.applied.size(), 5u + 10u) << "five on notices, ten on the timer (3 to 30 s)";
}

TEST_F(WatchLoopTest, NoticesThatCannotBeArmedLeaveTheTimerAloneSaidOnce) {
  world_.changesAt = {1000, 2000, 4000};
  world_.endAt = 10000;
  WatchDesktop desktop = FakeDesktop();
  desktop.listen = [](const std::wstring&) { return Status::Failure(ERROR_ACCESS_DENIED); };
  LogWatch log;
  ConsoleCapture console;
  WatchLoop(desktop, 3, TargetFile{kTarget, true}, L"C:\\users\\me\\Pictures", picture_);
  const std::vector<std::string> lines = log.NewLines();
  EXPECT_EQ(lines[1], "[WARN] 监听墙纸变化失败 (err=5)，仅定时检查（每 3 秒）");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), lines[1]), 1);
  EXPECT_EQ(world_.passTicks, (std::vector<unsigned long>{3000, 3000, 6000, 6000, 9000}));
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
                      "[ OK  ] 已改回：" +
                      U8(kTarget) +
                      "\n"
                      "[ OK  ] 复查通过：桌面已恢复为目标墙纸。\n"
                      "[INFO ] 壁纸正常。\n" +
                      kEndConsole),
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
  // A source picture used in place because no picture folder was known at start-up; it is gone.
  ownTarget_ = false;
  world_.files.clear();
  world_.beforePass = [](int pass) {
    if (pass == 4) g_world->stageDirAnswer = L"C:\\图片";
  };
  Run(6, 3, L"");
  const std::wstring rebuilt = L"C:\\图片\\OKAVU-wallpaper.png";
  const std::vector<std::string> failedPass = {Line("WARN", L"目标墙纸文件丢失，重建：" + kTarget),
                                               Line("ERROR", L"重建失败，3 秒后重试")};
  EXPECT_EQ(log_,
            Concat({StartLines(),
                    Repeat(failedPass, 3),
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

TEST_F(WatchLoopTest, AnExtractFileIsRebuiltWhereItWasAndAFailedWriteIsRetriedThere) {
  // The run guards its --extract file: a rebuild writes that file again, never the picture folder's.
  const std::wstring extracted = L"D:\\mine.png";
  world_.files = {extracted};
  world_.shows = extracted;
  world_.stageWorks = false;
  world_.beforePass = [&](int pass) {
    if (pass == 1) g_world->files.clear();
    if (pass == 3) g_world->stageWorks = true;
    if (pass == 5) g_world->shows = kOther;
  };
  world_.passes = 6;
  LogWatch log;
  ConsoleCapture console;
  WatchLoop(FakeDesktop(), 2, TargetFile{extracted, true}, L"C:\\users\\me\\Pictures\\", picture_);

  const std::vector<std::string> failedPass = {Line("WARN", L"目标墙纸文件丢失，重建：" + extracted),
                                               Line("ERROR", L"重建失败，2 秒后重试")};
  EXPECT_EQ(
      log.NewLines(),
      Concat({{Line("INFO", L"监视启动，间隔=2 秒，目标=" + extracted)},
              Repeat(failedPass, 2),
              {Line("WARN", L"目标墙纸文件丢失，重建：" + extracted), Line("INFO", L"已改回目标墙纸：" + extracted),
               Line("INFO", L"恢复正常：" + extracted), Line("WARN", L"检测到壁纸被改为：" + kOther),
               Line("INFO", L"已改回目标墙纸：" + extracted), Line("INFO", L"恢复正常：" + extracted), kEndLog}}));
  EXPECT_EQ(world_.stageDirCalls, 0);
  ASSERT_EQ(world_.staged.size(), 3u);
  for (const StageCall& call : world_.staged) {
    EXPECT_EQ(call.path, extracted);
    EXPECT_TRUE(call.force);
  }
}

TEST_F(WatchLoopTest, ASourcePictureUsedInPlaceIsNotRecreatedButStagedOnceThenGuardedThere) {
  const std::wstring source = L"C:\\users\\me\\Documents\\mine.png";
  const std::wstring staged = L"C:\\users\\me\\Pictures\\OKAVU-wallpaper.png";
  world_.files = {source};
  world_.shows = source;
  world_.beforePass = [&](int pass) {
    if (pass == 1) g_world->files.erase(source);
    if (pass == 3) g_world->files.erase(staged);
  };
  world_.passes = 4;
  LogWatch log;
  ConsoleCapture console;
  WatchLoop(FakeDesktop(), 3, TargetFile{source, false}, L"C:\\users\\me\\Pictures", picture_);
  // The second loss is of the run's own file, which goes back to the same place.
  const std::vector<std::string> rebuiltInPictures = {Line("INFO", L"已改回目标墙纸：" + staged),
                                                      Line("INFO", L"恢复正常：" + staged)};
  EXPECT_EQ(log.NewLines(), Concat({{Line("INFO", L"监视启动，间隔=3 秒，目标=" + source),
                                     Line("WARN", L"目标墙纸文件丢失，重建：" + source)},
                                    rebuiltInPictures,
                                    {Line("WARN", L"目标墙纸文件丢失，重建：" + staged)},
                                    rebuiltInPictures,
                                    {kEndLog}}));
  ASSERT_EQ(world_.staged.size(), 2u);
  EXPECT_EQ(world_.staged[0].path, staged);
  EXPECT_EQ(world_.staged[1].path, staged);
  EXPECT_EQ(world_.files.count(source), 0u) << "the user's file is not written again";
  EXPECT_EQ(world_.applied, (std::vector<std::wstring>{staged, staged}));
}

// Sequences of passes over the real loop: heartbeat timing across the tick wrap, and the
// bookkeeping of repairs, recoveries and rebuilds.
constexpr std::uint32_t kMinute = 60000;

struct Event {
  std::uint32_t elapsed;  // milliseconds since the loop started, unwrapped
  WatchAction action;
};

// The log lines appended since the last call, read from where the last call stopped.
class LogTail {
 public:
  LogTail() : path_(LogPath()), offset_(ReadFileText(path_).size()) {}
  std::vector<std::string> Take() {
    UniqueFile file(CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    std::vector<std::string> lines;
    if (!file) return lines;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset_);
    SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN);
    std::string fresh;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) fresh.append(buffer, got);
    offset_ += fresh.size();
    for (size_t pos = 0, end; (end = fresh.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
      lines.push_back(fresh.substr(pos, end - pos));
    }
    return lines;
  }

 private:
  std::wstring path_;
  size_t offset_;
};

bool Has(const std::string& line, const char* level, const wchar_t* text) {
  return line.find(std::string("[") + level + "] " + U8(text)) != std::string::npos;
}

// Runs the real loop with a pass every intervalMs from a loop start at tick `start` for `durationMs`:
// pass k (from 0) finds the desktop as shown(k) says, and a rebuild succeeds as rebuildOk says. What
// each pass did is read from the log lines it wrote. Ticks wrap as GetTickCount does.
template <typename ShownFn>
std::vector<Event> Simulate(std::uint32_t start, std::uint32_t intervalMs, std::uint32_t durationMs, ShownFn shown,
                            bool rebuildOk = true) {
  FakeWorld world;
  world.clock = start;
  world.passes = static_cast<int>(durationMs / intervalMs);
  world.stageWorks = rebuildOk;
  g_world = &world;
  LogTail log;
  std::vector<Event> events;
  world.beforePass = [&](int pass) {
    // What the pass before this wake-up wrote.
    for (const std::string& line : log.Take()) {
      const std::uint32_t elapsed = static_cast<std::uint32_t>(pass - 1) * intervalMs;
      if (Has(line, "INFO", L"心跳：")) events.push_back({elapsed, WatchAction::kHeartbeat});
      if (Has(line, "INFO", L"恢复正常：")) events.push_back({elapsed, WatchAction::kReportRecovery});
      if (Has(line, "WARN", L"检测到壁纸被改为：")) events.push_back({elapsed, WatchAction::kRepair});
      if (Has(line, "WARN", L"目标墙纸文件丢失")) events.push_back({elapsed, WatchAction::kRebuildThenRepair});
    }
    const WallpaperState state = shown(pass - 1);
    world.shows = state == WallpaperState::kMismatch ? kOther : kTarget;
    if (state == WallpaperState::kTargetGone) {
      world.files.clear();
    } else {
      world.files.insert(kTarget);
    }
  };
  // One more wake-up than passes, so the last pass's lines are read too.
  world.passes += 1;
  WatchLoop(FakeDesktop(), intervalMs / 1000, TargetFile{kTarget, true}, L"C:\\users\\me\\Pictures",
            std::vector<unsigned char>(16, 0x42));
  g_world = nullptr;
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
  auto events = Simulate(c.start, c.intervalMs, 35 * kMinute, [](int) { return WallpaperState::kMatch; });
  std::vector<std::uint32_t> beats = Times(events, WatchAction::kHeartbeat);
  ASSERT_EQ(beats.size(), 3u);
  EXPECT_EQ(events.size(), 3u) << "a quiet watch does nothing but heartbeats";
  EXPECT_GE(beats[0], 10 * kMinute);
  EXPECT_GE(beats[1] - beats[0], 10 * kMinute);
  EXPECT_GE(beats[2] - beats[1], 10 * kMinute);
  // Not much later than due either: within one interval of the ten minutes.
  EXPECT_LE(beats[0], 10 * kMinute + c.intervalMs);
}

INSTANTIATE_TEST_SUITE_P(IntervalsAndTickStarts, QuietWatch,
                         ::testing::Values(QuietCase{1000, 3000}, QuietCase{0, 1000}, QuietCase{5000, 7000},
                                           QuietCase{0, 60000},
                                           // The tick wraps during the run: 5 minutes, and a moment, before 2^32.
                                           QuietCase{0xFFFFFFFFu - 5 * kMinute, 3000}, QuietCase{0xFFFFFFFFu, 1000},
                                           // The heartbeat falls due right across the wrap.
                                           QuietCase{0xFFFFFFFFu - 10 * kMinute + 1, 3000}));

TEST(WatchSequence, RecoveryIsReportedOnceAfterARepair) {
  // Pass 3 finds another picture; the rest find the target.
  auto events = Simulate(1000, 3000, 5 * kMinute,
                         [](int pass) { return pass == 3 ? WallpaperState::kMismatch : WallpaperState::kMatch; });
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
  auto events = Simulate(0, interval, 25 * kMinute, [&](int pass) {
    return pass == repairPass ? WallpaperState::kMismatch : WallpaperState::kMatch;
  });
  std::vector<std::uint32_t> recoveries = Times(events, WatchAction::kReportRecovery);
  std::vector<std::uint32_t> beats = Times(events, WatchAction::kHeartbeat);
  ASSERT_EQ(recoveries.size(), 1u);
  ASSERT_EQ(beats.size(), 1u);
  EXPECT_GT(beats[0], recoveries[0] + 599999u);
  EXPECT_LE(beats[0], recoveries[0] + 10 * kMinute + interval);
}

TEST(WatchSequence, PersistentTroubleRepairsEveryPassAndNeverBeats) {
  // The set keeps failing: every pass sees another picture, for 35 minutes.
  auto events = Simulate(0, 3000, 35 * kMinute, [](int) { return WallpaperState::kMismatch; });
  EXPECT_EQ(events.size(), 35 * kMinute / 3000);
  EXPECT_TRUE(Times(events, WatchAction::kHeartbeat).empty());
  EXPECT_TRUE(Times(events, WatchAction::kReportRecovery).empty());
}

TEST(WatchSequence, FailedRebuildsKeepTheHeartbeatGoing) {
  // Target gone and no folder to rebuild into: the healthy state and its clock stay, so the
  // heartbeat of a watch that started healthy still falls due ten minutes after the start.
  auto events = Simulate(
      0, 3000, 11 * kMinute,
      [](int pass) { return pass % 2 == 0 ? WallpaperState::kTargetGone : WallpaperState::kMatch; },
      /*rebuildOk=*/false);
  EXPECT_EQ(Times(events, WatchAction::kReportRecovery).size(), 0u);
  EXPECT_EQ(Times(events, WatchAction::kHeartbeat).size(), 1u);

  // After a good rebuild the next clean pass is a recovery.
  auto good = Simulate(0, 3000, 30000,
                       [](int pass) { return pass == 0 ? WallpaperState::kTargetGone : WallpaperState::kMatch; });
  ASSERT_EQ(good.size(), 2u);
  EXPECT_EQ(good[0].action, WatchAction::kRebuildThenRepair);
  EXPECT_EQ(good[1].action, WatchAction::kReportRecovery);
}

}  // namespace
