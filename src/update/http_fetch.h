// The only network code: one synchronous HTTPS GET against the update host.
#pragma once

#include <string>

#include "support/result.h"

// A download larger than this is refused; exactly this much is accepted.
inline constexpr unsigned long long kDownloadLimit = 67108864;  // 64 MiB
// A manifest is a few lines; anything much larger is not one.
inline constexpr unsigned long long kManifestLimit = 65536;  // 64 KiB

inline constexpr unsigned long kManifestTimeoutMs = 20000;
inline constexpr unsigned long kDownloadTimeoutMs = 240000;

struct HttpResponse {
  unsigned long status = 0;  // the HTTP status once a response arrived, 0 before
  std::string body;          // memory mode only
};

// GET https://kUpdateHost:443 + path, into memory. Never follows a redirect: a 3xx arrives as its
// status. timeoutMs applies to resolve, connect, send and receive.
//
// Succeeds only for status 200 with the whole body read within limit bytes. On failure value.status
// still holds the status when a response arrived, and error() names the WinHTTP (or file) error when a
// call failed: ERROR_FILE_TOO_LARGE for a body over the limit, 0 when the failure is the status itself
// or a body cut short. Blocks the calling thread; keeps no shared state.
Result<HttpResponse> HttpFetch(const std::wstring& path, unsigned long timeoutMs, unsigned long long limit);

// The same into filePath, within kDownloadLimit, also never following a redirect; the body stays empty. The file is
// always created new (a file of that name is an error, ERROR_FILE_EXISTS: never write into a file that
// another process made), written by this call alone and flushed to disk before it is closed. A failure
// may leave a partial file behind: removing it is the caller's business.
Result<HttpResponse> HttpFetchToFile(const std::wstring& path, const std::wstring& filePath, unsigned long timeoutMs);
