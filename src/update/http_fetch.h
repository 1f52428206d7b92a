// The only network code: one synchronous HTTPS GET against the update host.
#pragma once

#include <string>

// A body (manifest or download) larger than this is refused; exactly this much is accepted.
inline constexpr unsigned long long kHttpBodyLimit = 67108864;  // 64 MiB

inline constexpr unsigned long kManifestTimeoutMs = 20000;
inline constexpr unsigned long kDownloadTimeoutMs = 240000;

// GET https://kUpdateHost:443 + path. Memory mode (toFile false) collects the body in body and
// never follows a redirect (a 3xx arrives as its status); file mode creates filePath and writes
// the body there, following redirects. timeoutMs applies to resolve, connect, send and receive.
// body is cleared and status set to 0 on entry; status receives the HTTP status once a response
// arrived, also when the result is false. True only for status 200 with the whole body read (and
// written) within kHttpBodyLimit. A false result in file mode may leave a partial file behind:
// removing it is the caller's business. Blocks the calling thread; keeps no shared state.
bool HttpFetch(const std::wstring& path, bool toFile, const std::wstring& filePath, std::string& body,
               unsigned long& status, unsigned long timeoutMs);
