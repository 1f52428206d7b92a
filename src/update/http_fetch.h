// The only network code: one synchronous HTTPS GET against the update host.
#pragma once

#include <string>

#include "support/result.h"

// A body (manifest or download) larger than this is refused; exactly this much is accepted.
inline constexpr unsigned long long kHttpBodyLimit = 67108864;  // 64 MiB

inline constexpr unsigned long kManifestTimeoutMs = 20000;
inline constexpr unsigned long kDownloadTimeoutMs = 240000;

struct HttpResponse {
  unsigned long status = 0;  // the HTTP status once a response arrived, 0 before
  std::string body;          // memory mode only
};

// GET https://kUpdateHost:443 + path, into memory. Never follows a redirect: a 3xx arrives as its
// status. timeoutMs applies to resolve, connect, send and receive.
//
// Succeeds only for status 200 with the whole body read within kHttpBodyLimit. On failure value.status
// still holds the status when a response arrived, and error() names the WinHTTP (or file) error when a
// call failed; it is 0 when the failure is the status itself, the size limit or a body cut short.
// Blocks the calling thread; keeps no shared state.
Result<HttpResponse> HttpFetch(const std::wstring& path, unsigned long timeoutMs);

// The same into filePath (created, following redirects); the body stays empty. A failure may leave a
// partial file behind: removing it is the caller's business.
Result<HttpResponse> HttpFetchToFile(const std::wstring& path, const std::wstring& filePath, unsigned long timeoutMs);
