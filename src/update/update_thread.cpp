// The running side of the self-update: the clean-up of old helper copies, the thread that runs a cycle
// every update interval, the standalone check and the end of a process whose update is ready.
#include "update/update_thread.h"

#include <random>
#include <string>

#include "support/console.h"
#include "support/files.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/report.h"
#include "support/system_folders.h"
#include "support/wait.h"
#include "update/local_faults.h"
#include "update/update_cycle.h"
#include "version.h"

// What the thread uses: kept alive by the thread as long as it runs, also after its owner let go.
struct UpdateThread::Shared {
  std::shared_ptr<UpdateChannel> channel;
  UniqueKernelHandle stop;  // the thread's own stop signal: set by Stop, seen by nobody else
};

namespace {

// The schedule's random source: each desktop its own, so that a fleet started together drifts apart.
class ScheduleRandom {
 public:
  ScheduleRandom() : engine_(std::random_device{}()) {}
  double operator()() { return uniform_(engine_); }

 private:
  std::mt19937 engine_;
  std::uniform_real_distribution<double> uniform_{0.0, 1.0};
};

// Long waits in slices a DWORD can hold; each slice ends early on the thread's stop or a ready update.
void WaitMilliseconds(std::int64_t milliseconds, HANDLE stop, HANDLE ready) {
  constexpr std::int64_t kSliceMs = 24LL * 3600 * 1000;
  while (milliseconds > 0 && !IsSignalled(stop) && !(ready && IsSignalled(ready))) {
    const std::int64_t slice = milliseconds < kSliceMs ? milliseconds : kSliceMs;
    WaitForFirst(static_cast<unsigned long>(slice), {stop, ready});
    milliseconds -= slice;
  }
}

DWORD WINAPI UpdaterThreadProc(LPVOID parameter) {
  // The thread owns one reference to what it uses, handed over by Start.
  using SharedPtr = std::shared_ptr<UpdateThread::Shared>;
  const SharedPtr shared = *std::unique_ptr<SharedPtr>(static_cast<SharedPtr*>(parameter));
  UpdateChannel& channel = *shared->channel;
  const HANDLE stop = shared->stop.get();
  auto random = std::make_shared<ScheduleRandom>();
  UpdaterLoopSteps steps;
  steps.wait = [&](std::int64_t ms) { WaitMilliseconds(ms, stop, channel.readyEvent()); };
  steps.policy = [&channel] { return channel.CurrentPolicy(); };
  steps.pace = [&channel](const UpdatePolicy& policy) {
    return CheckPace{static_cast<std::int64_t>(channel.IntervalSeconds(policy)),
                     static_cast<std::int64_t>(policy.spreadSeconds)};
  };
  steps.random = [random] { return (*random)(); };
  steps.stopRequested = [stop] { return IsSignalled(stop); };
  steps.updateReady = [&channel] { return channel.HandOverReady(); };
  steps.runCycle = [&channel](const UpdatePolicy& policy) { return DoUpdateCycle(channel, policy); };
  steps.localFaults = ReadLocalFaults();
  steps.keepLocalFaults = WriteLocalFaults;
  RunUpdaterLoop(steps);
  return 0;
}

}  // namespace

void RunUpdaterLoop(const UpdaterLoopSteps& steps) {
  ScheduleState state;
  state.localFaults = steps.localFaults;
  steps.wait(StartWait(state, steps.pace(steps.policy()), steps.random).ms);
  for (;;) {
    if (steps.stopRequested() || steps.updateReady()) return;
    // The policy is read again before every check, so an administrator's change reaches a running
    // watcher. The cycle returns at once when the main thread's standalone cycle holds the busy flag.
    const UpdatePolicy policy = steps.policy();
    const CheckReport report = steps.runCycle(policy);
    if (steps.updateReady()) return;
    const int localFaults = state.localFaults;
    const CheckWait next = NextCheckWait(state, steps.pace(policy), report, steps.random);
    // An install's success is known to the helper, which clears the count then.
    if (state.localFaults != localFaults && report.outcome != CheckOutcome::kInstalled) {
      steps.keepLocalFaults(state.localFaults);
    }
    steps.wait(next.ms);
  }
}

Result<UpdateThread> UpdateThread::Start(std::shared_ptr<UpdateChannel> channel) {
  auto shared = std::make_shared<Shared>();
  shared->channel = std::move(channel);
  // A signal of its own: stopping the thread must not reach the other runs of the session, whose
  // watcher would take the session's stop signal for a takeover.
  shared->stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!shared->stop) return Status::LastError();
  auto parameter = std::make_unique<std::shared_ptr<Shared>>(shared);
  UpdateThread started;
  started.thread_.reset(CreateThread(nullptr, 0, UpdaterThreadProc, parameter.get(), 0, nullptr));
  if (!started.thread_) return Status::LastError();
  parameter.release();  // the thread owns it now
  started.shared_ = std::move(shared);
  return started;
}

UpdateThread::UpdateThread(UpdateThread&& other) noexcept
    : thread_(std::move(other.thread_)), shared_(std::move(other.shared_)), lingers_(other.lingers_) {}

UpdateThread& UpdateThread::operator=(UpdateThread&& other) noexcept {
  if (this != &other) {
    Stop();
    thread_ = std::move(other.thread_);
    shared_ = std::move(other.shared_);
    lingers_ = other.lingers_;
  }
  return *this;
}

bool UpdateThread::Stop() {
  if (!thread_) return !lingers_;
  if (shared_->stop) SetEvent(shared_->stop.get());
  const bool ended = WaitForSingleObject(thread_.get(), kUpdateThreadStopMs) == WAIT_OBJECT_0;
  thread_.reset();
  shared_.reset();
  lingers_ = !ended;
  return ended;
}

void CleanupUpdaterCopies() {
  const std::wstring folder = TempFolder();
  if (folder.empty()) return;
  WIN32_FIND_DATAW entry{};
  UniqueFind search(FindFirstFileW((folder + L"OKAVU-updater-*.exe").c_str(), &entry));
  if (!search) return;
  const std::wstring self = ModulePath();
  int deleted = 0;
  do {
    const std::wstring path = folder + entry.cFileName;
    if (SamePath(path, self)) continue;
    // A copy that still runs as a helper cannot be deleted; the next start takes it.
    if (DeleteFileW(path.c_str())) ++deleted;
  } while (FindNextFileW(search.get(), &entry));
  if (deleted > 0) LogLine(LogLevel::kInfo, L"清理了 %d 个遗留的更新帮手副本", deleted);
}

UpdateThread StartUpdates(unsigned long updateInterval, std::shared_ptr<UpdateChannel> channel) {
  CleanupUpdaterCopies();
  Info(L"自动更新：每 %lu 秒检查一次 %ls", updateInterval, kManifestPath);
  Result<UpdateThread> thread = UpdateThread::Start(std::move(channel));
  if (!thread) Warn(L"启动更新检查线程失败 (err=%lu)，本次不自动更新", thread.error());
  return std::move(thread.value);
}

bool RestartForReadyUpdate(UpdateChannel& channel, UpdateThread& thread) {
  if (!channel.HandOverReady()) return false;
  const HandOver& handOver = channel.handOver();
  Info(L"==== 准备自动更新 ====");
  Report(ConsoleLevel::kInfo, L"目标版本：%ls", LogLevel::kInfo, L"开始应用更新：目标版本 %ls",
         handOver.newVersion.c_str());
  thread.Stop();
  if (handOver.helperPid != 0) {
    Info(L"更新帮手 PID %lu 已就绪，本进程立即退出。", handOver.helperPid);
    Info(L"随后由它完成：等本进程释放文件 → 覆盖 exe → 拉起新版 v%ls。", handOver.newVersion.c_str());
    Info(L"提示：若杀毒软件正在扫描新 exe，这一步可能耗时几十秒，属正常现象；");
    Info(L"      期间Quillmere短暂中断，新版本启动后自动恢复。");
    LogLine(LogLevel::kInfo, L"本进程退出以完成更新（新版本 %ls，帮手 PID %lu）", handOver.newVersion.c_str(),
            handOver.helperPid);
    return true;
  }
  Report(ConsoleLevel::kError, L"更新帮手未就绪，本次不更新（下次检查会重试）", LogLevel::kError,
         L"更新帮手未就绪，放弃本次更新");
  channel.WithdrawHandOver();
  return false;
}

bool RunStandaloneUpdateCheck(UpdateChannel& channel, UpdateThread& thread, const UpdatePolicy& policy) {
  Info(L"独立执行一次更新检查（当前版本 %ls）…", kAppVersion);
  static_cast<void>(DoUpdateCycle(channel, policy));
  if (channel.HandOverReady()) return RestartForReadyUpdate(channel, thread);
  thread.Stop();
  return false;
}
