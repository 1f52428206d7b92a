// The update cycle: what arrived is judged by the verdict functions; this file only fetches, reads
// back, undoes and hands over.
#include "update/update_cycle.h"

#include <windows.h>

#include "support/file_version.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/paths.h"
#include "support/system_folders.h"
#include "update/handover.h"
#include "update/sha256.h"
#include "version.h"

namespace {

// The download goes next to the running executable, so the helper's move stays on one volume.
std::wstring NewExePath() { return Join(FolderOf(ModulePath(), L"."), kNewExeName); }

DownloadFacts Download(const std::wstring& requestPath, const std::wstring& file) {
  DownloadFacts facts;
  facts.fetch = HttpFetchToFile(requestPath, file, kDownloadTimeoutMs);
  if (!facts.fetch) return facts;
  {
    // Held only for the digest: up to 64 MiB.
    Result<std::vector<unsigned char>> bytes = ReadAllBytes(file);
    if (!bytes) return facts;
    facts.readable = true;
    facts.size = bytes.value.size();
    facts.digest = Sha256Hex(bytes.value.data(), bytes.value.size());
  }
  Result<std::wstring> version = PeFileVersionString(file);
  facts.hasVersion = version.ok();
  facts.fileVersion = std::move(version.value);
  return facts;
}

}  // namespace

UpdateSystem SystemUpdate() {
  UpdateSystem system;
  system.fetchManifest = [] { return HttpFetch(kManifestPath, kManifestTimeoutMs); };
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
  const ManifestVerdict offer = JudgeManifest(manifest, kAppVersion);
  ReportManifest(offer, manifest, kAppVersion);
  if (offer.outcome != ManifestOutcome::kOffered) return;

  newExe = system.downloadPath();
  system.deleteFile(newExe);
  const DownloadFacts facts = system.download(offer.requestPath, newExe);
  const DownloadVerdict verdict = JudgeDownload(offer.info, facts);
  ReportDownload(verdict, facts, offer.info);
  if (verdict.outcome != DownloadOutcome::kAccepted) return;

  if (system.handOver(offer.info, newExe, channel)) guard.release();
}
