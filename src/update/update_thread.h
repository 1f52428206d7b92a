// The background update thread, the start-up clean-up of helper copies, the standalone check and the
// hand-over at the end of a run.
#pragma once

#include <windows.h>

#include <functional>

#include "support/handles.h"

inline constexpr wchar_t kManifestPath[] = L"/files/OKAVU/manifest.txt";
inline constexpr unsigned long kFirstCycleDelaySeconds = 5;
inline constexpr DWORD kUpdateThreadStopMs = 2000;

// Stage 14 for runs with watch or autoUpdate: removes leftover helper copies and starts the
// thread (thread stays null when it cannot start).
void StartUpdateThread(unsigned long updateInterval, UniqueKernelHandle& thread);

// Deletes "OKAVU-updater-*.exe" in the temporary folder, except the running executable.
void CleanupUpdaterCopies();

// Thread entry: the parameter carries updateInterval in seconds. Returns 0 once the stop event is
// set or an update is ready.
DWORD WINAPI UpdaterThreadProc(LPVOID parameter);

// The thread's schedule, apart from the system so that its order can be checked on its own.
struct UpdaterLoopSteps {
  std::function<void(unsigned long seconds)> wait;  // ends early on a stop or a ready update
  std::function<bool()> stopRequested;
  std::function<bool()> updateReady;
  std::function<void()> runCycle;
};

// First cycle after 5 s, then one every updateInterval seconds counted from the end of the last;
// returns on a stop request or once an update is ready.
void RunUpdaterLoop(unsigned long updateInterval, const UpdaterLoopSteps& steps);

// True when a helper runs and this process must end now; stops the thread (at most 2 s).
bool RestartForReadyUpdate(UniqueKernelHandle& thread);

// Stage 16 for "--check-update" without "--watch": one foreground cycle. After a hand-over it ends
// the process itself (ExitProcess, COM not released); otherwise it stops the thread, closes the stop
// event (without a reset) and the mutex handle, and returns the exit code 0; COM is the caller's.
int RunStandaloneUpdateCheck(UniqueKernelHandle& thread, UniqueKernelHandle& mutex);

// Stops the update thread: sets the stop event, waits at most 2,000 ms, closes and clears it.
void StopUpdateThread(UniqueKernelHandle& thread);
