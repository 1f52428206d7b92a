// The background update thread, the start-up clean-up of helper copies, the standalone check and the
// hand-over at the end of a run.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "support/handles.h"
#include "support/result.h"
#include "update/update_channel.h"
#include "update/update_policy.h"
#include "update/update_schedule.h"

inline constexpr DWORD kUpdateThreadStopMs = 2000;

// The thread's schedule, apart from the system so that its order can be checked on its own.
struct UpdaterLoopSteps {
  std::function<void(std::int64_t milliseconds)> wait;  // ends early on a stop or a ready update
  std::function<UpdatePolicy()> policy;                  // the policy as it stands now, read before every check
  std::function<CheckPace(const UpdatePolicy&)> pace;    // the interval and spread in force under it
  std::function<bool()> stopRequested;
  std::function<bool()> updateReady;
  std::function<CheckReport(const UpdatePolicy&)> runCycle;
  UniformRandom random;
  // Local faults of earlier runs on this computer, and where a changed count is kept for later runs.
  int localFaults = 0;
  std::function<void(int count)> keepLocalFaults;
};

// The first check after StartWait, then one after each NextCheckWait (counted from the end of the last
// check); returns on a stop request or once an update is ready.
void RunUpdaterLoop(const UpdaterLoopSteps& steps);

// The thread that runs update cycles. Owned by the entry point; its end stops the thread.
class UpdateThread {
 public:
  UpdateThread() = default;
  UpdateThread(UpdateThread&& other) noexcept;
  UpdateThread& operator=(UpdateThread&& other) noexcept;
  UpdateThread(const UpdateThread&) = delete;
  UpdateThread& operator=(const UpdateThread&) = delete;
  ~UpdateThread() { Stop(); }

  // Starts the thread over channel, with a stop signal of its own; its pace comes from the channel's
  // interval and policy. Fails with the error of CreateThread.
  static Result<UpdateThread> Start(std::shared_ptr<UpdateChannel> channel);

  bool running() const { return static_cast<bool>(thread_); }

  // Sets the thread's stop signal, waits for it at most 2,000 ms and lets go of it. True when it has
  // ended (or never ran). A thread still inside a download keeps what it uses until it ends; the
  // caller must then end the process rather than return from the entry point.
  bool Stop();

  // True once a Stop let go of a thread that was still running.
  bool lingers() const { return lingers_; }

  struct Shared;  // what the thread itself holds on to

 private:
  UniqueKernelHandle thread_;
  std::shared_ptr<Shared> shared_;
  bool lingers_ = false;
};

// Stage 14 for runs with watch or autoUpdate: removes leftover helper copies, reports and starts the
// thread (a thread that cannot start is reported; the run goes on without updates).
UpdateThread StartUpdates(unsigned long updateInterval, std::shared_ptr<UpdateChannel> channel);

// Deletes "OKAVU-updater-*.exe" in the temporary folder, except the running executable.
void CleanupUpdaterCopies();

// True when a helper runs and this process must end now; stops the thread first (at most 2 s).
bool RestartForReadyUpdate(UpdateChannel& channel, UpdateThread& thread);

// Stage 16 for "--check-update" without "--watch": one foreground cycle under policy, then the hand-over
// when it found an update, else the thread is stopped. True when the process must end now for the helper.
bool RunStandaloneUpdateCheck(UpdateChannel& channel, UpdateThread& thread, const UpdatePolicy& policy);
