// One watcher per session: the takeover protocol and the run's stop signal.
#include "app/single_instance.h"

#include "support/console.h"
#include "support/log.h"
#include "support/report.h"
#include "support/wait.h"

namespace {

// The resident watcher notices the request at once (its waits end on the event), but a pass in
// progress may still be finishing; then the mutex has 4 s more to come free.
constexpr DWORD kTakeoverPauseMs = 1500;
constexpr DWORD kTakeoverWaitMs = 4000;

// The one pointer the console control handler needs. The handler runs on a thread of its own, at any
// moment; the lock keeps it from setting a handle that the run is closing (or that was reused since).
struct ConsoleStop {
  SRWLOCK lock = SRWLOCK_INIT;
  HANDLE event = nullptr;
};
ConsoleStop g_consoleStop;

void BindConsoleStop(HANDLE event) {
  AcquireSRWLockExclusive(&g_consoleStop.lock);
  g_consoleStop.event = event;
  ReleaseSRWLockExclusive(&g_consoleStop.lock);
}

void UnbindConsoleStop(HANDLE event) {
  AcquireSRWLockExclusive(&g_consoleStop.lock);
  if (g_consoleStop.event == event) g_consoleStop.event = nullptr;
  ReleaseSRWLockExclusive(&g_consoleStop.lock);
}

}  // namespace

Result<HeldMutex> AcquireWatcherLock() {
  // Kept open until the lock is decided, so that the request can be withdrawn below.
  UniqueKernelHandle request(OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName));
  if (request) {
    SetEvent(request.get());
    Report(ConsoleLevel::kInfo, L"检测到已有监视实例，已请求它退出，等待接管…", LogLevel::kInfo,
           L"检测到已有监视实例，请求其退出以接管");
    Sleep(kTakeoverPauseMs);
  }

  HeldMutex lock;
  lock.mutex.reset(CreateMutexW(nullptr, FALSE, kMutexName));
  // WAIT_ABANDONED (the holder died) makes us the owner as well; a failed wait is taken as ownership
  // too rather than leaving the session without a watcher.
  if (lock.mutex && lock.Take(kTakeoverWaitMs) == WAIT_TIMEOUT) {
    Report(ConsoleLevel::kError, L"已有监视实例在运行，且未能接管，本实例直接退出。", LogLevel::kError,
           L"已有监视实例在运行且接管失败，退出");
    return Status::Failure(WAIT_TIMEOUT);
  }

  // This run is the watcher now. A watcher that gave way reset the event before letting go of the
  // mutex; but when the event belonged to a run that does not watch it (a one-shot run still
  // busy), our request would still be set when this run opens the same event, and would end this
  // watch at its first pass.
  if (request) ResetEvent(request.get());

  Info(L"已取得单实例锁，开始常驻。");
  return lock;
}

StopSignal StopSignal::Create() {
  StopSignal signal;
  // With another run of the session alive this opens its event: all runs share one stop signal.
  signal.event_.reset(CreateEventW(nullptr, TRUE, FALSE, kStopEventName));
  BindConsoleStop(signal.event_.get());
  return signal;
}

StopSignal::StopSignal(StopSignal&& other) noexcept : event_(std::move(other.event_)) {}

StopSignal& StopSignal::operator=(StopSignal&& other) noexcept {
  if (this != &other) {
    Close();
    event_ = std::move(other.event_);
  }
  return *this;
}

StopSignal::~StopSignal() { Close(); }

void StopSignal::Close() {
  if (!event_) return;
  // Withdrawn from the control handler before the handle goes.
  UnbindConsoleStop(event_.get());
  event_.reset();
}

bool StopSignal::requested() const { return IsSignalled(event_.get()); }

void StopSignal::Set() const {
  if (event_) SetEvent(event_.get());
}

void StopSignal::Clear() const {
  if (event_) ResetEvent(event_.get());
}

BOOL WINAPI ConsoleCtrlHandler(DWORD controlType) {
  (void)controlType;  // Ctrl+C, Ctrl+Break, close, logoff and shutdown all end the watch in order
  AcquireSRWLockShared(&g_consoleStop.lock);
  if (g_consoleStop.event) SetEvent(g_consoleStop.event);
  ReleaseSRWLockShared(&g_consoleStop.lock);
  return TRUE;
}
