// "--status" and "--stop": the session's watcher, seen and stopped from another run.
#pragma once

// Reports whether a watcher runs in this session (process id, version, start) and the last update.
// Returns the exit code: 0 when one runs, ExitCode::kNoWatcher when none does.
int ShowWatcherStatus();

// Asks the session's watcher to end through the session's stop signal, the same one a new watcher
// uses, and waits up to 10 s. Returns 0 when it ended, kNoWatcher when none ran, kWatcherRunning when
// it did not end in time.
int StopWatcher();
