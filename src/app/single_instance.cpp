// One watcher per session: the takeover protocol, the run's two events and the interruptible wait.
#include "app/single_instance.h"

#include "support/console.h"
#include "support/log.h"

HANDLE g_stopEvent = nullptr;
HANDLE g_updateEvent = nullptr;

namespace {

// The resident watcher notices the request at once (its waits end on the event), but a pass in
// progress may still be finishing; then the mutex has 4 s more to come free.
constexpr DWORD kTakeoverPauseMs = 1500;
constexpr DWORD kTakeoverWaitMs = 4000;

// The control handler runs on its own thread and may read a global while the main thread clears
// it at the end of the run: every access goes through an interlocked operation.
HANDLE LoadHandle(HANDLE& global) { return InterlockedCompareExchangePointer(&global, nullptr, nullptr); }
HANDLE TakeHandle(HANDLE& global) { return InterlockedExchangePointer(&global, nullptr); }

}  // namespace

bool AcquireWatcherLock(UniqueKernelHandle& mutex, bool& mutexHeld) {
  mutexHeld = false;
  // Kept open until the lock is decided, so that the request can be withdrawn below.
  UniqueKernelHandle request(OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName));
  if (request) {
    SetEvent(request.get());
    Info(L"检测到已有监视实例，已请求它退出，等待接管…");
    LogLine(L"INFO", L"检测到已有监视实例，请求其退出以接管");
    Sleep(kTakeoverPauseMs);
  }

  mutex.reset(CreateMutexW(nullptr, FALSE, kMutexName));
  if (mutex) {
    DWORD wait = WaitForSingleObject(mutex.get(), kTakeoverWaitMs);
    if (wait == WAIT_TIMEOUT) {
      Fail(L"已有监视实例在运行，且未能接管，本实例直接退出。");
      LogLine(L"ERROR", L"已有监视实例在运行且接管失败，退出");
      mutex.reset();
      return false;
    }
    // WAIT_ABANDONED (the holder died) makes us the owner as well; a failed wait is taken as
    // ownership too rather than leaving the session without a watcher.
  }

  // This run is the watcher now. A watcher that gave way reset the event before letting go of the
  // mutex; but when the event belonged to a run that does not watch it (a one-shot run still
  // busy), our request would still be set when this run opens the same event, and would end this
  // watch at its first pass.
  if (request) ResetEvent(request.get());

  Info(L"已取得单实例锁，开始常驻。");
  mutexHeld = true;
  return true;
}

void CreateRunEvents() {
  // With another run of the session alive this opens its event: all runs share one stop signal.
  InterlockedExchangePointer(&g_stopEvent, CreateEventW(nullptr, TRUE, FALSE, kStopEventName));
  InterlockedExchangePointer(&g_updateEvent, CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

BOOL WINAPI ConsoleCtrlHandler(DWORD controlType) {
  (void)controlType;  // Ctrl+C, Ctrl+Break, close, logoff and shutdown all end the watch in order
  HANDLE stop = LoadHandle(g_stopEvent);
  if (stop) SetEvent(stop);
  return TRUE;
}

void WaitSecondsOrStop(unsigned long seconds) {
  DWORD milliseconds = static_cast<DWORD>(seconds * 1000UL);
  HANDLE handles[2];
  DWORD count = 0;
  if (HANDLE stop = LoadHandle(g_stopEvent)) handles[count++] = stop;
  if (HANDLE update = LoadHandle(g_updateEvent)) handles[count++] = update;
  if (count == 0) {
    Sleep(milliseconds);
    return;
  }
  // The result is not needed: callers look at the stop event and the update flag themselves.
  WaitForMultipleObjects(count, handles, FALSE, milliseconds);
}

bool StopRequested() {
  HANDLE stop = LoadHandle(g_stopEvent);
  return stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
}

void ReleaseRunObjects(UniqueKernelHandle& mutex, bool mutexHeld) {
  // Cleared before closing, so the control handler never sets a closed (or reused) handle.
  UniqueKernelHandle stop(TakeHandle(g_stopEvent));
  // A run that ends normally leaves the shared event unsignalled for the runs that follow.
  if (stop) ResetEvent(stop.get());
  stop.reset();
  UniqueKernelHandle update(TakeHandle(g_updateEvent));
  update.reset();
  // Released last: a successor that gets the mutex finds this run's events already closed.
  if (mutex && mutexHeld) ReleaseMutex(mutex.get());
  mutex.reset();
}
