// One watcher per session: the named stop signal, the single-instance mutex and the takeover between them.
#pragma once

#include <windows.h>

#include "support/handles.h"
#include "support/result.h"

inline constexpr wchar_t kStopEventName[] = L"Local\\OKAVU_Quillmere_Stop";
inline constexpr wchar_t kMutexName[] = L"Local\\OKAVU_Quillmere_Mutex";

// Watch runs: asks a resident watcher to stop and takes the mutex. Fails (exit code 6, reported and
// logged) when the watcher did not let go in time. The lock's mutex may be empty (it could not be
// created): the run then watches without single-instance protection.
Result<HeldMutex> AcquireWatcherLock();

// The run's stop signal: the session's named, manual-reset stop event, which every run of the session
// that has it open shares. Owned by the entry point; while it lives, the console control handler sets
// it. Its end closes the handle as the event is: a run that ends normally clears it first.
class StopSignal {
 public:
  // Creates the event, or opens it when another run of the session has it. Empty when that fails: the
  // run then cannot be stopped through it.
  static StopSignal Create();

  StopSignal() = default;
  StopSignal(StopSignal&& other) noexcept;
  StopSignal& operator=(StopSignal&& other) noexcept;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;
  ~StopSignal();

  HANDLE get() const { return event_.get(); }  // may be null
  bool requested() const;                      // set, without consuming it
  void Set() const;
  void Clear() const;  // leaves the shared event unsignalled for the runs that follow

 private:
  void Close();
  UniqueKernelHandle event_;
};

// Sets the live stop signal for every control type (Ctrl+C, Ctrl+Break, close, logoff, shutdown) and
// returns TRUE, so the watch ends in order. Runs on a thread the system creates for each control.
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);
