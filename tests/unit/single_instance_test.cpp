// The interruptible wait, the control handler and the end-of-run release, on private events.
#include "app/single_instance.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Unnamed events stand in for the run's events, so the test never touches the session's real
// stop event (a watcher of an end-to-end test may be running in the same Wine session).
class RunEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    update_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(stop_ && update_);
  }
  void TearDown() override {
    g_stopEvent = nullptr;
    g_updateEvent = nullptr;
  }
  void UseBoth() {
    g_stopEvent = stop_.get();
    g_updateEvent = update_.get();
  }
  static bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

  UniqueKernelHandle stop_;
  UniqueKernelHandle update_;
};

// Milliseconds that WaitSecondsOrStop(seconds) took.
ULONGLONG TimedWait(unsigned long seconds) {
  ULONGLONG start = GetTickCount64();
  WaitSecondsOrStop(seconds);
  return GetTickCount64() - start;
}

// A wait that ignored its events would block for this long, and the test would fail on time.
constexpr unsigned long kLongWaitSeconds = 20;
constexpr ULONGLONG kPromptMs = 5000;

TEST_F(RunEvents, WaitEndsAtOnceWhenEitherEventIsAlreadySet) {
  UseBoth();
  SetEvent(stop_.get());
  EXPECT_LT(TimedWait(kLongWaitSeconds), kPromptMs);
  // Manual reset: the wait did not consume the signal.
  EXPECT_LT(TimedWait(kLongWaitSeconds), kPromptMs);

  ResetEvent(stop_.get());
  SetEvent(update_.get());
  EXPECT_LT(TimedWait(kLongWaitSeconds), kPromptMs);
}

TEST_F(RunEvents, WaitUsesWhicheverEventExists) {
  g_stopEvent = nullptr;
  g_updateEvent = update_.get();
  SetEvent(update_.get());
  EXPECT_LT(TimedWait(kLongWaitSeconds), kPromptMs);

  g_stopEvent = stop_.get();
  g_updateEvent = nullptr;
  SetEvent(stop_.get());
  EXPECT_LT(TimedWait(kLongWaitSeconds), kPromptMs);
}

TEST_F(RunEvents, WaitWakesWhenTheStopEventIsSetDuringIt) {
  UseBoth();
  // The signal arrives from another thread while the main thread waits, as from the control
  // handler. The delay only places the signal inside the wait; the wait must end right after it.
  std::thread signaller([this] {
    Sleep(300);
    SetEvent(stop_.get());
  });
  ULONGLONG took = TimedWait(kLongWaitSeconds);
  signaller.join();
  EXPECT_GE(took, 250u);
  EXPECT_LT(took, kPromptMs);
}

TEST_F(RunEvents, WaitRunsItsFullTimeWhenNothingIsSet) {
  UseBoth();
  ULONGLONG took = TimedWait(1);
  // GetTickCount64 moves in steps of up to 16 ms.
  EXPECT_GE(took, 1000u - 16u);
  EXPECT_LT(took, kPromptMs);
}

TEST_F(RunEvents, WaitWithoutEventsSleepsTheWholeTime) {
  g_stopEvent = nullptr;
  g_updateEvent = nullptr;
  ULONGLONG took = TimedWait(1);
  EXPECT_GE(took, 1000u - 16u);
  EXPECT_LT(took, kPromptMs);
}

TEST_F(RunEvents, ControlHandlerSetsTheStopEventForEveryControlType) {
  UseBoth();
  for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
    ResetEvent(stop_.get());
    EXPECT_EQ(ConsoleCtrlHandler(type), TRUE) << "control type " << type;
    EXPECT_TRUE(IsSet(stop_.get())) << "control type " << type;
    EXPECT_TRUE(StopRequested());
  }
  EXPECT_FALSE(IsSet(update_.get()));
}

TEST_F(RunEvents, ControlHandlerWithoutStopEventStillHandlesTheSignal) {
  g_stopEvent = nullptr;
  g_updateEvent = update_.get();
  EXPECT_EQ(ConsoleCtrlHandler(CTRL_C_EVENT), TRUE);
  EXPECT_FALSE(IsSet(update_.get()));
  EXPECT_FALSE(StopRequested());
}

TEST_F(RunEvents, StopRequestedFollowsTheStopEventOnly) {
  UseBoth();
  EXPECT_FALSE(StopRequested());
  SetEvent(update_.get());
  EXPECT_FALSE(StopRequested());
  SetEvent(stop_.get());
  EXPECT_TRUE(StopRequested());
  EXPECT_TRUE(StopRequested()) << "testing must not consume the signal";
}

// Whether another thread can take the mutex at once (so this thread no longer owns it).
bool FreeForAnotherThread(HANDLE mutex) {
  DWORD result = WAIT_FAILED;
  std::thread other([&] {
    result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(mutex);
  });
  other.join();
  return result == WAIT_OBJECT_0;
}

HANDLE Duplicate(HANDLE h) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
  return copy;
}

TEST_F(RunEvents, ReleaseResetsAndClosesTheEventsThenReleasesTheMutex) {
  // The run's own handles, watched through duplicates that outlive the release.
  HANDLE runStop = Duplicate(stop_.get());
  HANDLE runUpdate = Duplicate(update_.get());
  ASSERT_TRUE(runStop && runUpdate);
  g_stopEvent = runStop;
  g_updateEvent = runUpdate;
  SetEvent(runStop);
  SetEvent(runUpdate);

  UniqueKernelHandle mutex(CreateMutexW(nullptr, TRUE, nullptr));
  ASSERT_TRUE(mutex);
  UniqueKernelHandle mutexView(Duplicate(mutex.get()));
  ASSERT_FALSE(FreeForAnotherThread(mutexView.get()));

  ReleaseRunObjects(mutex, true);

  EXPECT_EQ(g_stopEvent, nullptr);
  EXPECT_EQ(g_updateEvent, nullptr);
  EXPECT_FALSE(mutex);
  // The shared stop event is left unsignalled for later runs; the update event is not touched.
  EXPECT_FALSE(IsSet(stop_.get()));
  EXPECT_TRUE(IsSet(update_.get()));
  // The run's handles are closed, not leaked.
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(runStop, &flags));
  EXPECT_FALSE(GetHandleInformation(runUpdate, &flags));
  EXPECT_TRUE(FreeForAnotherThread(mutexView.get()));
  // A Ctrl+C after the release finds no event to set.
  EXPECT_EQ(ConsoleCtrlHandler(CTRL_C_EVENT), TRUE);
}

TEST_F(RunEvents, ReleaseLeavesAMutexThatWasNeverHeldAlone) {
  UniqueKernelHandle mutex(CreateMutexW(nullptr, TRUE, nullptr));
  ASSERT_TRUE(mutex);
  UniqueKernelHandle mutexView(Duplicate(mutex.get()));
  ReleaseRunObjects(mutex, false);
  EXPECT_FALSE(mutex) << "the handle is closed all the same";
  EXPECT_FALSE(FreeForAnotherThread(mutexView.get()));
  ReleaseMutex(mutexView.get());
}

TEST_F(RunEvents, ReleaseWithNothingToReleaseIsHarmless) {
  g_stopEvent = nullptr;
  g_updateEvent = nullptr;
  UniqueKernelHandle mutex;
  ReleaseRunObjects(mutex, true);
  EXPECT_EQ(g_stopEvent, nullptr);
  EXPECT_FALSE(mutex);
}

}  // namespace
