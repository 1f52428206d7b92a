// The background update thread, the start-up clean-up of helper copies, the standalone check and the
// hand-over at the end of a run.
#pragma once

#include <windows.h>

#include "support/handles.h"

inline constexpr wchar_t kManifestPath[] = L"/files/OKAVU/manifest.txt";

// Stage 14 for runs with watch or autoUpdate: removes leftover helper copies and starts the
// thread (thread stays null when it cannot start).
void StartUpdateThread(unsigned long updateInterval, UniqueKernelHandle& thread);

// Deletes "OKAVU-updater-*.exe" in the temporary folder, except the running executable.
void CleanupUpdaterCopies();

// True when a helper runs and this process must end now; stops the thread (at most 2 s).
bool RestartForReadyUpdate(UniqueKernelHandle& thread);

// Stage 16 for "--check-update" without "--watch": one foreground cycle, then ends the process
// itself (ExitProcess after a hand-over, otherwise returns the exit code 0 after clean-up).
int RunStandaloneUpdateCheck(UniqueKernelHandle& thread, UniqueKernelHandle& mutex);

// Stops the update thread: sets the stop event, waits at most 2,000 ms, closes and clears it.
void StopUpdateThread(UniqueKernelHandle& thread);
