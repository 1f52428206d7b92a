// The update manifest: its record, the version rules, the download-location rule and the digest form.
#pragma once

#include <string>

// The parsed manifest of one update cycle.
struct UpdateInfo {
  std::wstring version;  // "version", required
  std::wstring url;      // "url", required: relative path or "https://" + update host + path
  std::wstring sha256;   // "sha256", checked only once the download is verified
  long long size = 0;    // "size"; 0 or negative: no size given
  std::wstring notes;    // "notes", kept but not used
};

// Every download must lie below this path on the update host.
inline constexpr wchar_t kDownloadPrefix[] = L"/files/OKAVU/";

// Reads a dotted version into major, minor, build, revision (each 0..1,000,000, missing parts 0).
// Always sets all four parts. False only when the first part has no digit ('v1.7').
bool ParseVersion(const std::wstring& text, int parts[4]);

// True only when both versions parse and candidate is strictly greater, part by part.
bool IsNewerVersion(const std::wstring& candidate, const std::wstring& current);

// Fills info from the manifest text (already UTF-16) line by line: "key = value", "#" comments,
// unknown keys ignored, the last occurrence of a key wins. True when version and url are set.
bool ParseManifest(const std::wstring& text, UpdateInfo& info);

// Decides whether url may be downloaded and gives the path to request from the update host.
// Accepted: a relative name (below kDownloadPrefix), an absolute path below kDownloadPrefix, or
// "https://" + kUpdateHost + such a path. False, with requestPath cleared, otherwise.
bool ResolveDownloadPath(const std::wstring& url, std::wstring& requestPath);

// Lower-cases the digest text and keeps the low byte of each character (digest receives that text
// in any case); true when the field is exactly 64 ASCII hexadecimal digits.
bool NormalizeSha256(const std::wstring& field, std::string& digest);
