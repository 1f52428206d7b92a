// Where a run's update cycles and its main thread meet: the arguments a restart passes on, the flag that
// keeps cycles apart, and the hand-over that tells the run to end.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/handles.h"
#include "update/http_fetch.h"
#include "update/manifest.h"
#include "update/update_policy.h"

// What a run was given for its updates, beside the administrator's policy.
struct UpdateSettings {
  unsigned long intervalSeconds = 30;  // "--update-interval", or the default
  bool intervalGiven = false;          // given on the command line
  PolicyLookup policy;                 // read again before every check; empty: no policy at all
};

// A finished hand-over: the helper that now waits for this process, and what it installs.
struct HandOver {
  unsigned long helperPid = 0;
  std::wstring newExePath;
  std::wstring newVersion;
};

// The last manifest that passed every check (its signature and freshness), as read, with the validators the
// host sent with it: the host's 304 brings it back to be judged again, without a download or a parse.
struct KeptManifest {
  UpdateInfo info;
  Validators validators;
};

// The entry point makes one per run and shares it (std::shared_ptr) with the update thread, so that a
// thread that outlives the run's stop wait never reads freed state. Any thread may call any member.
class UpdateChannel {
 public:
  // forwardedArgs: what the restarted program is started with; readyEvent: set by a hand-over to wake
  // the main thread's waits (may be empty); settings: the run's interval and where its policy comes from.
  UpdateChannel(std::vector<std::wstring> forwardedArgs, UniqueKernelHandle readyEvent, UpdateSettings settings = {});
  UpdateChannel(const UpdateChannel&) = delete;
  UpdateChannel& operator=(const UpdateChannel&) = delete;

  const std::vector<std::wstring>& forwardedArgs() const { return forwardedArgs_; }
  HANDLE readyEvent() const { return readyEvent_.get(); }  // may be null

  // The administrator's policy as it stands now, read again at each call; each thing it finds wrong is
  // logged once per run.
  UpdatePolicy CurrentPolicy();
  // The update interval in force under policy: the policy's replaces the default and raises a shorter
  // "--update-interval", which is said once per run.
  unsigned long IntervalSeconds(const UpdatePolicy& policy);

  // True the first time key is met, and again only after Forget(key): a notice said once per episode.
  bool FirstTime(const std::wstring& key);
  void Forget(const std::wstring& key);

  // True when the caller may run a cycle now: no other cycle runs and none has handed over. A cycle
  // that got true calls EndCycle on every way out except a hand-over.
  bool TryBeginCycle() { return busy_.exchange(1) == 0; }
  void EndCycle() { busy_.store(0); }

  // Called once, by the cycle whose helper runs: the values first, then the flag (a full barrier),
  // then the event. The busy flag stays set, so no later cycle starts.
  void PublishHandOver(HandOver handOver);
  bool HandOverReady() const { return ready_.load() != 0; }
  // Only after HandOverReady() returned true.
  const HandOver& handOver() const { return handOver_; }
  // A hand-over that cannot be completed: both flags are cleared, and the holds let go, so a later cycle
  // may start over.
  void WithdrawHandOver();

  // After a hand-over: the update lock and the hold of the verified download stay with the process until
  // it ends (the helper waits for that), so that no other process takes the lock or touches the file
  // before the helper holds both.
  void KeepUntilTheEnd(UniqueFile updateLock, std::shared_ptr<UniqueFile> download);

  // The run's one session with the update host, kept to the process's end so its connection is reused.
  HttpSession& session() { return session_; }
  // Only the cycle that holds the busy flag uses it.
  std::optional<KeptManifest>& keptManifest() { return kept_; }

  // True the first time a cycle meets what key names (a skipped release, a busy lock), and again only
  // after another key came between: a watcher tells it once, not at every check. Only the cycle that
  // holds the busy flag calls it.
  bool FirstNotice(const std::wstring& key);

 private:
  const std::vector<std::wstring> forwardedArgs_;
  const UniqueKernelHandle readyEvent_;
  const UpdateSettings settings_;
  std::mutex noticesLock_;  // the main thread reads the policy at start, the update thread before each check
  std::set<std::wstring> notices_;
  std::atomic<long> busy_{0};
  std::atomic<long> ready_{0};
  HandOver handOver_;  // written once, before ready_
  UniqueFile updateLock_;
  std::shared_ptr<UniqueFile> download_;
  std::wstring lastNotice_;
  HttpSession session_;
  std::optional<KeptManifest> kept_;
};
