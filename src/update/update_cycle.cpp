// The update cycle: what arrived is judged by the verdict functions; this file only fetches, reads
// back, undoes and hands over.
#include "update/update_cycle.h"

#include <windows.h>

#include "support/file_version.h"
#include "support/handles.h"
#include "support/paths.h"
#include "support/system_folders.h"
#include "update/handover.h"
#include "update/publisher_key.h"
#include "update/sha256.h"
#include "version.h"

namespace {

// The download goes next to the running executable, so the helper's move stays on one volume.
std::wstring NewExePath() { return Join(FolderOf(ModulePath(), L"."), kNewExeName); }

DownloadFacts Download(const std::wstring& requestPath, const std::wstring& file) {
  DownloadFacts facts;
  facts.fetch = HttpFetchToFile(requestPath, file, kDownloadTimeoutMs);
  if (!facts.fetch) return facts;
  // The bytes hashed and the version read are the ones that stay: while this handle is open nobody
  // may write, rename or delete the file.
  UniqueFile held(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!held) return facts;
  Result<FileHash> hashed = HashFile(held.get());
  if (!hashed || hashed.value.bytes == 0) return facts;
  facts.readable = true;
  facts.size = hashed.value.bytes;
  facts.digest = hashed.value.hex;
  Result<std::wstring> version = PeFileVersionString(file);
  facts.hasVersion = version.ok();
  facts.fileVersion = std::move(version.value);
  return facts;
}

}  // namespace

UpdateSystem SystemUpdate() {
  UpdateSystem system;
  system.publisherKey = EmbeddedPublisherKey();
  system.fetchManifest = [] { return HttpFetch(kManifestPath, kManifestTimeoutMs, kManifestLimit); };
  system.downloadPath = NewExePath;
  system.download = Download;
  system.deleteFile = [](const std::wstring& file) { DeleteFileW(file.c_str()); };
  system.handOver = LaunchUpdateHelper;
  return system;
}

void DoUpdateCycle(UpdateChannel& channel) { DoUpdateCycleWith(channel, SystemUpdate()); }

void DoUpdateCycleWith(UpdateChannel& channel, const UpdateSystem& system) {
  if (!channel.TryBeginCycle()) return;
  // Every way out but a hand-over removes the download (once there is one) and frees the next cycle.
  std::wstring newExe;
  ScopeExit guard([&] {
    if (!newExe.empty()) system.deleteFile(newExe);
    channel.EndCycle();
  });

  const Result<HttpResponse> manifest = system.fetchManifest();
  const ManifestVerdict offer = JudgeManifest(manifest, kAppVersion, system.publisherKey);
  ReportManifest(offer, manifest, kAppVersion);
  if (offer.outcome != ManifestOutcome::kOffered) return;

  newExe = system.downloadPath();
  system.deleteFile(newExe);
  const DownloadFacts facts = system.download(offer.requestPath, newExe);
  const DownloadVerdict verdict = JudgeDownload(offer.info, facts);
  ReportDownload(verdict, facts, offer.info);
  if (verdict.outcome != DownloadOutcome::kAccepted) return;

  if (system.handOver(offer.info, newExe, facts.digest, channel)) guard.release();
}
