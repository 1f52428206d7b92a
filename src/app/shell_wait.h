// A watcher started before the desktop shell (first log-on, a fresh virtual desktop) waits for it.
#pragma once

#include <windows.h>

#include <functional>

inline constexpr unsigned long kShellWaitMs = 600000;  // ten minutes
inline constexpr unsigned long kShellPollMs = 2000;

enum class ShellWaitEnd {
  kShellUp,  // the shell is there: the watch goes on
  kGaveUp,   // no shell within kShellWaitMs: exit code 4
  kStopped,  // the watch was told to end while it waited
};

// What the wait asks of the system. SystemShellWaitWorld gives the system's; tests drive a clock.
struct ShellWaitWorld {
  std::function<bool()> shellUp;                          // ShellWindowPresent
  std::function<bool(unsigned long milliseconds)> pause;  // waits; true at once when the watch must end
  std::function<unsigned long()> tick;                    // GetTickCount
};

// The system's: the wait ends early on stopEvent (may be null).
ShellWaitWorld SystemShellWaitWorld(HANDLE stopEvent);

// Looks for the shell every kShellPollMs until kShellWaitMs have passed; one line on the console and in
// the log as it starts waiting and one when the shell is there. Runs on the main thread and blocks.
ShellWaitEnd WaitForShell(const ShellWaitWorld& world);
