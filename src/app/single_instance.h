// One watcher per session: the named stop event, the single-instance mutex, the update event and the
// interruptible wait.
#pragma once

#include <windows.h>

#include "support/handles.h"

inline constexpr wchar_t kStopEventName[] = L"Local\\OKAVU_Quillmere_Stop";
inline constexpr wchar_t kMutexName[] = L"Local\\OKAVU_Quillmere_Mutex";

extern HANDLE g_stopEvent;    // named, manual reset; may be null
extern HANDLE g_updateEvent;  // unnamed, manual reset; may be null

// Watch runs: asks a resident watcher to stop and takes the mutex. False means exit code 6
// (reported and logged). On true, mutex may still be null (creation failed) and mutexHeld is true.
bool AcquireWatcherLock(UniqueKernelHandle& mutex, bool& mutexHeld);

// Creates g_stopEvent and g_updateEvent; a failure leaves the handle null.
void CreateRunEvents();

// Sets the stop event for every control type; runs on a system thread.
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);

// Sleeps seconds, or less when the stop event or the update event is set.
void WaitSecondsOrStop(unsigned long seconds);

// True when g_stopEvent exists and is set (a zero wait).
bool StopRequested();

// End of a run: resets and closes the stop event, closes the update event, then releases and
// closes a held mutex.
void ReleaseRunObjects(UniqueKernelHandle& mutex, bool mutexHeld);
