// The running side of the self-update: the clean-up of old helper copies, the thread that runs a cycle
// every update interval, the standalone check and the end of a process whose update is ready.
#include "update/update_thread.h"

#include <string>

#include "app/single_instance.h"
#include "support/console.h"
#include "support/log.h"
#include "support/paths.h"
#include "update/handover_signal.h"
#include "update/update_cycle.h"
#include "version.h"

namespace {

// The thread's own handles to the run's stop and update events. The main thread closes its
// handles at the end of a run, possibly while a thread that did not stop in time (inside a download)
// still waits; the thread's copies stay valid until it is known to have ended.
UniqueKernelHandle g_threadStopEvent;
UniqueKernelHandle g_threadUpdateEvent;

HANDLE LoadHandle(HANDLE& global) { return InterlockedCompareExchangePointer(&global, nullptr, nullptr); }

UniqueKernelHandle DuplicateForThread(HANDLE source) {
  UniqueKernelHandle copy;
  if (source) {
    HANDLE self = GetCurrentProcess();
    DuplicateHandle(self, source, self, copy.put(), 0, FALSE, DUPLICATE_SAME_ACCESS);
  }
  return copy;
}

// The same wait as WaitSecondsOrStop, over the thread's own copies of the two events.
void ThreadWait(unsigned long seconds) {
  const DWORD milliseconds = static_cast<DWORD>(seconds * 1000UL);
  HANDLE handles[2];
  DWORD count = 0;
  if (g_threadStopEvent) handles[count++] = g_threadStopEvent.get();
  if (g_threadUpdateEvent) handles[count++] = g_threadUpdateEvent.get();
  if (count == 0) {
    Sleep(milliseconds);
    return;
  }
  WaitForMultipleObjects(count, handles, FALSE, milliseconds);
}

bool ThreadStopRequested() {
  return g_threadStopEvent && WaitForSingleObject(g_threadStopEvent.get(), 0) == WAIT_OBJECT_0;
}

// The standalone check's end: the stop event is closed as it is (a watcher of the session that
// shares it sees it set), the mutex handle closed without a release.
void CloseStopEventAndMutex(UniqueKernelHandle& mutex) {
  UniqueKernelHandle stop(InterlockedExchangePointer(&g_stopEvent, nullptr));
  stop.reset();
  mutex.reset();
}

}  // namespace

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
  if (deleted > 0) LogLine(L"INFO", L"清理了 %d 个遗留的更新帮手副本", deleted);
}

void RunUpdaterLoop(unsigned long updateInterval, const UpdaterLoopSteps& steps) {
  steps.wait(kFirstCycleDelaySeconds);
  for (;;) {
    if (steps.stopRequested() || steps.updateReady()) return;
    // Returns at once when the main thread's standalone cycle holds the busy flag.
    steps.runCycle();
    if (steps.updateReady()) return;
    steps.wait(updateInterval);
  }
}

DWORD WINAPI UpdaterThreadProc(LPVOID parameter) {
  const unsigned long updateInterval = static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(parameter));
  UpdaterLoopSteps steps;
  steps.wait = ThreadWait;
  steps.stopRequested = ThreadStopRequested;
  steps.updateReady = UpdateReady;
  steps.runCycle = DoUpdateCycle;
  RunUpdaterLoop(updateInterval, steps);
  return 0;
}

void StartUpdateThread(unsigned long updateInterval, UniqueKernelHandle& thread) {
  CleanupUpdaterCopies();
  Info(L"自动更新：每 %lu 秒检查一次 %ls", updateInterval, kManifestPath);
  g_threadStopEvent = DuplicateForThread(LoadHandle(g_stopEvent));
  g_threadUpdateEvent = DuplicateForThread(LoadHandle(g_updateEvent));
  thread.reset(CreateThread(nullptr, 0, UpdaterThreadProc,
                            reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(updateInterval)), 0, nullptr));
  if (!thread) {
    const DWORD err = GetLastError();
    g_threadStopEvent.reset();
    g_threadUpdateEvent.reset();
    Warn(L"启动更新检查线程失败 (err=%lu)，本次不自动更新", static_cast<unsigned long>(err));
  }
}

void StopUpdateThread(UniqueKernelHandle& thread) {
  if (!thread) return;
  if (HANDLE stop = LoadHandle(g_stopEvent)) SetEvent(stop);
  const bool ended = WaitForSingleObject(thread.get(), kUpdateThreadStopMs) == WAIT_OBJECT_0;
  thread.reset();
  if (ended) {
    g_threadStopEvent.reset();
    g_threadUpdateEvent.reset();
  } else {
    // Still running (a download, say): it keeps its event copies until the process ends.
    g_threadStopEvent.release();
    g_threadUpdateEvent.release();
  }
}

bool RestartForReadyUpdate(UniqueKernelHandle& thread) {
  if (!UpdateReady()) return false;
  Info(L"==== 准备自动更新 ====");
  Info(L"目标版本：%ls", g_newVerStr.c_str());
  LogLine(L"INFO", L"开始应用更新：目标版本 %ls", g_newVerStr.c_str());
  StopUpdateThread(thread);
  if (g_helperPid != 0) {
    Info(L"更新帮手 PID %lu 已就绪，本进程立即退出。", g_helperPid);
    Info(L"随后由它完成：等本进程释放文件 → 覆盖 exe → 拉起新版 v%ls。", g_newVerStr.c_str());
    Info(L"提示：若杀毒软件正在扫描新 exe，这一步可能耗时几十秒，属正常现象；");
    Info(L"      期间Quillmere短暂中断，新版本启动后自动恢复。");
    LogLine(L"INFO", L"本进程退出以完成更新（新版本 %ls，帮手 PID %lu）", g_newVerStr.c_str(), g_helperPid);
    return true;
  }
  Fail(L"更新帮手未就绪，本次不更新（下次检查会重试）");
  LogLine(L"ERROR", L"更新帮手未就绪，放弃本次更新");
  g_updateReady.exchange(0);
  g_updaterBusy.exchange(0);
  return false;
}

int RunStandaloneUpdateCheck(UniqueKernelHandle& thread, UniqueKernelHandle& mutex) {
  Info(L"独立执行一次更新检查（当前版本 %ls）…", kAppVersion);
  DoUpdateCycle();
  if (UpdateReady()) {
    const bool handOver = RestartForReadyUpdate(thread);
    CloseStopEventAndMutex(mutex);
    // Ends here so that the executable is free for the helper at once; COM is left to the process end.
    if (handOver) ExitProcess(0);
  } else {
    StopUpdateThread(thread);
    CloseStopEventAndMutex(mutex);
  }
  return 0;
}
