// One update cycle: manifest, version comparison, download, verification and hand-over.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "support/handles.h"
#include "update/failed_release.h"
#include "update/manifest.h"
#include "update/update_channel.h"
#include "update/update_policy.h"
#include "update/update_schedule.h"
#include "update/update_verdict.h"

// Name of the download, next to the running executable.
inline constexpr wchar_t kNewExeName[] = L"OKAVU.new.exe";
inline constexpr wchar_t kWindowlessNewExeName[] = L"OKAVUw.new.exe";  // the windowless build's
inline constexpr wchar_t kManifestPath[] = L"/files/OKAVU/manifest.txt";

// What a cycle asks of the network, the disk, the other processes and the hand-over. SystemUpdate()
// gives the real ones; tests put in what a server, a disk or another process would answer.
struct UpdateSystem {
  std::string publisherKey;  // the build's public key (base64); empty: manifests need no signature
  unsigned subsystem = 0;    // the running build's: its download must be the same build; 0: not checked
  std::wstring computer;     // this computer's name: a failed release recorded elsewhere does not count here
  // Asks for the manifest; with validators, whether it changed since (a 304 when it did not).
  std::function<Result<HttpResponse>(const Validators& ask)> fetchManifest;
  std::function<UtcSeconds()> now;  // the desktop's clock
  // The highest manifest seq this desktop took (nullopt: none yet), and storing a higher one.
  std::function<std::optional<std::int64_t>()> highestSeq;
  std::function<void(std::int64_t seq)> rememberSeq;
  std::function<std::string()> installId;  // this user's, for the share point of a staged rollout
  // The release that failed to install before (not downloaded again), and remembering one.
  std::function<FailedRelease()> failedRelease;
  std::function<void(const std::wstring& version, const std::wstring& sha256)> rememberFailure;
  // The lock that lets one process at a time download, hand over and replace this executable, across
  // sessions and users; fails with WAIT_TIMEOUT while another process holds it, and with the error that
  // kept it from being made. Held to the end of the cycle, or after a hand-over to the end of the process;
  // the helper then takes it for its whole work.
  std::function<Result<UniqueFile>()> lockExecutable;
  // True when the executable file is already the release with this digest: another process of this
  // program installed it while this one ran from the old file (the helper checks its version).
  std::function<bool(const std::string& sha256)> installedAlready;
  // Where the download goes; it is deleted whenever the cycle ends without a hand-over.
  std::function<std::wstring()> downloadPath;
  // Fetches requestPath into file (a new one) and reads back what the verdict needs; what is read beyond
  // size and digest, only from a file whose size and digest are offer's.
  std::function<DownloadFacts(const std::wstring& requestPath, const std::wstring& file, const UpdateInfo& offer)>
      download;
  std::function<void(const std::wstring& file)> deleteFile;
  // Starts the helper (which checks the digest again, or finds the release installed) and publishes the
  // hand-over on the channel; fails when the helper does not run.
  std::function<Status(const UpdateInfo& info, const std::wstring& newExe, const std::string& sha256,
                       UpdateChannel& channel)>
      handOver;
};

// The real ones, with every request over session.
UpdateSystem SystemUpdate(HttpSession& session);

// Runs one complete update attempt under policy (as it stands now); reports every outcome itself (console
// and log) and never ends the process. Returns at once, silently, while another cycle runs. Runs on the
// update thread, or on the main thread for the standalone check; blocks for the network time. What it
// returns sets the pace of the next check.
CheckReport DoUpdateCycle(UpdateChannel& channel, const UpdatePolicy& policy);
CheckReport DoUpdateCycleWith(UpdateChannel& channel, const UpdateSystem& system, const UpdatePolicy& policy);
