// One update cycle: manifest, version comparison, download, verification and hand-over.
#pragma once

#include <functional>
#include <string>

#include "update/manifest.h"
#include "update/update_channel.h"
#include "update/update_verdict.h"

// Name of the download, next to the running executable.
inline constexpr wchar_t kNewExeName[] = L"OKAVU.new.exe";
inline constexpr wchar_t kManifestPath[] = L"/files/OKAVU/manifest.txt";

// What a cycle asks of the network, the disk and the hand-over. UpdateSystem() gives the real ones;
// tests put in what a server or a disk would answer.
struct UpdateSystem {
  std::string publisherKey;  // the build's public key (base64); empty: manifests need no signature
  std::function<Result<HttpResponse>()> fetchManifest;
  // Where the download goes; it is deleted first and whenever the cycle ends without a hand-over.
  std::function<std::wstring()> downloadPath;
  // Fetches requestPath into file and reads back what the verdict needs.
  std::function<DownloadFacts(const std::wstring& requestPath, const std::wstring& file)> download;
  std::function<void(const std::wstring& file)> deleteFile;
  // Starts the helper (which checks the digest again) and publishes the hand-over on the channel; fails
  // when the helper does not run.
  std::function<Status(const UpdateInfo& info, const std::wstring& newExe, const std::string& sha256,
                       UpdateChannel& channel)>
      handOver;
};

UpdateSystem SystemUpdate();

// Runs one complete update attempt; reports every outcome itself (console and log) and never ends
// the process. Returns at once, silently, while another cycle runs or after a hand-over. Runs on the
// update thread, or on the main thread for the standalone check; blocks for the network time.
void DoUpdateCycle(UpdateChannel& channel);
void DoUpdateCycleWith(UpdateChannel& channel, const UpdateSystem& system);
