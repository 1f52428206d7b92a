// The update cycle's decisions, over what arrived from the update host and what the download turned
// out to be: pure functions, and the messages that report them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "support/handles.h"

#include "support/program_build.h"
#include "update/http_fetch.h"
#include "update/manifest.h"
#include "update/failed_release.h"
#include "update/manifest_freshness.h"
#include "update/manifest_signature.h"
#include "update/rollout.h"

// What the manifest request brought.
enum class ManifestOutcome {
  kFetchFailed,       // no manifest: network, TLS or HTTP failure
  kSignatureRefused,  // a build with a publisher key, and the manifest is not signed with it
  kUnusable,          // no characters, no version or url, or a control character in a value
  kStale,             // a build with a publisher key, and the manifest is older than one it took, or expired
  kNotNewer,          // the offered version is not newer (or does not parse): silent
  kLocationRefused,   // newer, but the url may not be downloaded
  kFailedBefore,      // newer, but the very release (version and digest) failed to install before
  kAboveMaxVersion,   // newer, but above the highest version the update policy allows
  kConsoleOnly,       // newer, but the manifest has no download for the windowless build that reads it
  kNotYetDue,         // newer, but its staged rollout has not reached this desktop yet
  kOffered,           // newer, and requestPath may be downloaded
};

struct ManifestVerdict {
  ManifestOutcome outcome = ManifestOutcome::kFetchFailed;
  SignatureCheck signature = SignatureCheck::kValid;  // why a signature was refused
  UpdateInfo info;                                    // what the manifest said, once it was read
  FreshnessVerdict freshness;                         // builds with a key, once the manifest was read
  UtcSeconds dueAt = 0;                               // kNotYetDue: when the release is due here
  std::wstring requestPath;                           // kOffered only
};

// What a manifest is judged against.
struct ManifestRules {
  std::wstring currentVersion;
  // The base64 public key the build carries, empty for a build that needs no signature. With a key,
  // nothing of the manifest is read before its signature is found good, and then only the signed bytes.
  std::string publisherKey;
  FailedRelease failed;      // the release that failed to install before: not offered again
  std::wstring thisComputer;  // the failed release counts only when it failed on this computer
  std::wstring maxVersion;  // the update policy's highest version; empty: no limit
  ManifestReader reader = ManifestReader::kConsole;
  UtcSeconds now = 0;                      // the desktop's clock, for expires and the rollout
  std::optional<std::int64_t> highestSeq;  // the highest seq this desktop took; nullopt: none yet
  std::string installId;                   // this user's install id, for the share point; needed only
                                           // for a staged rollout
  UpdateRing ring = UpdateRing::kDefault;  // the policy's UpdateRing
};

// A manifest body as the build reads it: with a publisher key the signature first, and then only the
// signed bytes; then the text. Gives kSignatureRefused, kUnusable, or kOffered for a manifest that was
// read, which JudgeRelease judges further.
ManifestVerdict ReadManifestBody(const std::string& body, const ManifestRules& rules);

// What a manifest that was read offers this desktop now, in this order: freshness (builds with a key),
// the build's own download, version, MaxVersion, the failed-release record, the location and the rollout.
// The host's 304 brings a kept manifest back here, without reading it again.
ManifestVerdict JudgeRelease(const UpdateInfo& info, const ManifestRules& rules);

// What the download turned out to be; gathered after the request, whatever the request brought.
struct DownloadFacts {
  Result<HttpResponse> fetch;   // the download request
  bool readable = false;        // the file was read back whole (an empty file is not)
  unsigned long long size = 0;  // bytes read back
  std::string digest;           // SHA-256 of those bytes, empty when hashing failed
  bool hasVersion = false;      // the file has a FileVersion
  std::wstring fileVersion;
  unsigned subsystem = 0;    // the PE subsystem: 2 windowless (GUI), 3 console; 0 unknown
  std::string publisherKey;  // the key the download carries (base64); empty: none
  // The version, the subsystem and the key are read only from a file whose size and digest matched.
  // From its verification to the helper's own hold, the download is kept from every writer by this.
  std::shared_ptr<UniqueFile> held;
};

enum class DownloadOutcome {
  kFetchFailed,
  kUnreadable,
  kSizeDiffers,
  kDigestMalformed,  // the manifest's sha256 is not 64 hexadecimal digits
  kDigestDiffers,
  kNoVersionResource,
  kVersionDiffers,
  kWrongBuild,       // the console build for the windowless one, or the other way round
  kNoPublisherKey,   // the running build checks signatures, and the release would not: it carries no key
  kAccepted,
};

struct DownloadVerdict {
  DownloadOutcome outcome = DownloadOutcome::kFetchFailed;
  std::string expectedDigest;        // the manifest's sha256 as compared, once the size passed
  unsigned subsystem = 0;            // the build the download had to be
  bool publisherKeyChanges = false;  // kAccepted: the release carries a key other than the running one's
};

// The checks in their fixed order: request, read-back, size, digest form, digest, version resource,
// version match, build (subsystem; not checked when subsystem is 0), publisher key (only for a running
// build with publisherKey: the release must carry a key of its own). The first that fails decides.
DownloadVerdict JudgeDownload(const UpdateInfo& offer, const DownloadFacts& facts, unsigned subsystem = 0,
                              const std::string& publisherKey = {});

// True for the refusals that are the release's own fault (size, digest, version), which a later cycle
// would meet again; not for a failed request or a file that could not be read here.
bool IsFaultOfTheRelease(DownloadOutcome outcome);

// The console and log lines of each verdict, as the cycle writes them.
void ReportManifest(const ManifestVerdict& verdict, const Result<HttpResponse>& fetch,
                    const std::wstring& currentVersion);
void ReportDownload(const DownloadVerdict& verdict, const DownloadFacts& facts, const UpdateInfo& offer);
