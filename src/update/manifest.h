// The update manifest: its record, the download-location rule and the digest form.
#pragma once

#include <optional>
#include <string>

#include "support/result.h"
#include "support/version_number.h"

// The parsed manifest of one update cycle.
struct UpdateInfo {
  std::wstring version;  // "version", required
  std::wstring url;      // "url", required: relative path or "https://" + update host + path
  std::wstring sha256;   // "sha256", checked only once the download is verified
  long long size = 0;    // "size"; 0 or negative: no size given
  std::wstring notes;    // "notes", kept but not used
  // The windowless build reads "windowless_url", "windowless_sha256" and "windowless_size" in place of
  // the three above (which stay the console build's, and older programs' who know no other keys). True
  // when, for it, the manifest names a console download but none of its own.
  bool consoleOnly = false;
  // Keys older programs ignore; nullopt where the manifest has none. Staged rollout: "rollout_start"
  // and "rollout_hours" (both or neither, well-formed, else the manifest is unusable). Freshness of a
  // signed manifest: "seq" and "expires", judged by a build with a publisher key.
  std::optional<std::wstring> rolloutStart;
  std::optional<std::wstring> rolloutHours;
  std::optional<std::wstring> seq;
  std::optional<std::wstring> expires;
};

// Which build reads the manifest.
enum class ManifestReader { kConsole, kWindowless };

// Every download must lie below this path on the update host.
inline constexpr wchar_t kDownloadPrefix[] = L"/files/OKAVU/";

// Reads the manifest text (already UTF-16) line by line: "key = value", "#" comments, unknown keys
// ignored, the last occurrence of a key wins. Usable when version and url are set, neither they nor
// sha256 hold a control character (below U+0020, or U+007F), and the rollout terms are both there and
// well-formed or both absent; an unusable manifest keeps in value what was read.
Result<UpdateInfo> ParseManifest(const std::wstring& text, ManifestReader reader = ManifestReader::kConsole);

// Decides whether url may be downloaded and gives the path to request from the update host.
// Accepted: a relative name (below kDownloadPrefix), an absolute path below kDownloadPrefix, or
// "https://" + kUpdateHost + such a path; in every form the path must stay below kDownloadPrefix as
// any server decodes it: no "." or ".." step, no "%2e", "%2f" or "%5c" (any case), no backslash, no
// malformed percent-escape. A refused url gives no path.
Result<std::wstring> ResolveDownloadPath(const std::wstring& url);

// The digest as 64 lower-case hexadecimal digits; fails, with no text, unless the field is exactly 64
// ASCII hexadecimal digits.
Result<std::string> NormalizeSha256(const std::wstring& field);

// The release's digest as a failed-release record names it: the normalised digest, or, for a digest that is
// none, the manifest's text.
std::wstring ReleaseDigest(const UpdateInfo& info);
