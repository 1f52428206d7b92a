// The interruptible wait over the run's events, the control handler and the end of the run's stop
// signal and watcher mutex, on private objects.
#include "app/single_instance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/wait.h"

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

  // Milliseconds that a wait of seconds over the given events took.
  static ULONGLONG TimedWait(unsigned long seconds, HANDLE stop, HANDLE update) {
    ULONGLONG start = GetTickCount64();
    WaitSecondsOrSignal(seconds, {stop, update});
    return GetTickCount64() - start;
  }
  ULONGLONG TimedWaitOnBoth(unsigned long seconds) { return TimedWait(seconds, stop_.get(), update_.get()); }

  UniqueKernelHandle stop_;
  UniqueKernelHandle update_;
};

// A wait that ignored its events would block for this long, and the test would fail on time.
constexpr unsigned long kLongWaitSeconds = 20;
constexpr ULONGLONG kPromptMs = 5000;

TEST_F(RunEvents, WaitEndsAtOnceWhenEitherEventIsAlreadySet) {
  SetEvent(stop_.get());
  EXPECT_LT(TimedWaitOnBoth(kLongWaitSeconds), kPromptMs);
  // Manual reset: the wait did not consume the signal.
  EXPECT_LT(TimedWaitOnBoth(kLongWaitSeconds), kPromptMs);

  ResetEvent(stop_.get());
  SetEvent(update_.get());
  EXPECT_LT(TimedWaitOnBoth(kLongWaitSeconds), kPromptMs);
}

TEST_F(RunEvents, WaitUsesWhicheverEventExists) {
  SetEvent(update_.get());
  EXPECT_LT(TimedWait(kLongWaitSeconds, nullptr, update_.get()), kPromptMs);
  SetEvent(stop_.get());
  EXPECT_LT(TimedWait(kLongWaitSeconds, stop_.get(), nullptr), kPromptMs);
}

TEST_F(RunEvents, WaitWakesWhenTheStopEventIsSetDuringIt) {
  // The signal arrives from another thread while the main thread waits, as from the control
  // handler. The wait must not end before the signal, and must end right after it.
  std::atomic<bool> signalled{false};
  std::thread signaller([&] {
    Sleep(300);
    signalled = true;
    SetEvent(stop_.get());
  });
  ULONGLONG took = TimedWaitOnBoth(kLongWaitSeconds);
  const bool setBeforeTheWaitEnded = signalled;
  signaller.join();
  EXPECT_TRUE(setBeforeTheWaitEnded) << "the wait ended on its own after " << took << " ms";
  EXPECT_LT(took, kPromptMs);
}

TEST_F(RunEvents, WaitRunsItsFullTimeWhenNothingIsSet) {
  ULONGLONG took = TimedWaitOnBoth(1);
  // GetTickCount64 moves in steps of up to 16 ms.
  EXPECT_GE(took, 1000u - 16u);
  EXPECT_LT(took, kPromptMs);
}

TEST_F(RunEvents, WaitWithoutEventsSleepsTheWholeTime) {
  ULONGLONG took = TimedWait(1, nullptr, nullptr);
  EXPECT_GE(took, 1000u - 16u);
  EXPECT_LT(took, kPromptMs);
}

TEST_F(RunEvents, IsSignalledFollowsOneEventOnlyAndDoesNotConsumeIt) {
  EXPECT_FALSE(IsSignalled(stop_.get()));
  SetEvent(update_.get());
  EXPECT_FALSE(IsSignalled(stop_.get()));
  SetEvent(stop_.get());
  EXPECT_TRUE(IsSignalled(stop_.get()));
  EXPECT_TRUE(IsSignalled(stop_.get())) << "testing must not consume the signal";
  EXPECT_FALSE(IsSignalled(nullptr));
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

bool IsOpenHandle(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != FALSE;
}

TEST(HeldMutex, TheEndReleasesAHeldMutexThenClosesIt) {
  HeldMutex lock;
  lock.mutex.reset(CreateMutexW(nullptr, FALSE, nullptr));
  ASSERT_TRUE(lock.mutex);
  UniqueKernelHandle view(Duplicate(lock.mutex.get()));
  const HANDLE own = lock.mutex.get();
  EXPECT_EQ(lock.Take(0), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_TRUE(lock.held());
  ASSERT_FALSE(FreeForAnotherThread(view.get()));
  lock = HeldMutex();
  EXPECT_TRUE(FreeForAnotherThread(view.get()));
  EXPECT_FALSE(IsOpenHandle(own));
}

TEST(HeldMutex, AMutexThatWasNeverHeldIsOnlyClosed) {
  UniqueKernelHandle ownedElsewhere(CreateMutexW(nullptr, TRUE, nullptr));
  ASSERT_TRUE(ownedElsewhere);
  UniqueKernelHandle view(Duplicate(ownedElsewhere.get()));
  {
    HeldMutex lock;
    lock.mutex.reset(Duplicate(ownedElsewhere.get()));
    EXPECT_FALSE(lock.held());
  }
  // The owner (this thread) still holds it: nothing released it on its behalf.
  EXPECT_FALSE(FreeForAnotherThread(view.get()));
  ReleaseMutex(ownedElsewhere.get());
}

TEST(HeldMutex, AnAbandonedMutexIsTakenAsHeld) {
  UniqueKernelHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
  ASSERT_TRUE(mutex);
  std::thread dies([&] { WaitForSingleObject(mutex.get(), 0); });
  dies.join();
  HeldMutex lock;
  lock.mutex.reset(Duplicate(mutex.get()));
  EXPECT_EQ(lock.Take(0), static_cast<DWORD>(WAIT_ABANDONED));
  EXPECT_TRUE(lock.held());
}

// The run's stop signal is the session's named event; these tests run where no watcher of the
// end-to-end tests can see it (the unit test holds the desktop lock only when it touches user state).
TEST(StopSignal, TheControlHandlerSetsItForEveryControlTypeWhileItLives) {
  StopSignal stop = StopSignal::Create();
  ASSERT_TRUE(stop.get());
  for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
    stop.Clear();
    EXPECT_EQ(ConsoleCtrlHandler(type), TRUE) << "control type " << type;
    EXPECT_TRUE(stop.requested()) << "control type " << type;
  }
  stop.Clear();
  EXPECT_FALSE(stop.requested());
}

TEST(StopSignal, ItsEndClosesTheHandleAndTheHandlerNoLongerTouchesIt) {
  HANDLE view = nullptr;
  HANDLE own = nullptr;
  {
    StopSignal stop = StopSignal::Create();
    ASSERT_TRUE(stop.get());
    own = stop.get();
    view = Duplicate(own);
  }
  ASSERT_TRUE(view);
  EXPECT_FALSE(IsOpenHandle(own));
  // A Ctrl+C after the end finds no event to set.
  EXPECT_EQ(ConsoleCtrlHandler(CTRL_C_EVENT), TRUE);
  EXPECT_FALSE(IsSignalled(view));
  CloseHandle(view);
}

TEST(StopSignal, AnEmptySignalIsHarmless) {
  StopSignal none;
  EXPECT_EQ(none.get(), nullptr);
  EXPECT_FALSE(none.requested());
  none.Set();
  none.Clear();
  EXPECT_EQ(ConsoleCtrlHandler(CTRL_C_EVENT), TRUE);
}

}  // namespace
