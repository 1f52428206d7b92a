// The only network code: one synchronous HTTPS GET against the update host.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <mutex>
#include <string>

#include "support/handles.h"
#include "support/result.h"

// A download larger than this is refused; exactly this much is accepted.
inline constexpr unsigned long long kDownloadLimit = 67108864;  // 64 MiB
// A manifest is a few lines; anything much larger is not one.
inline constexpr unsigned long long kManifestLimit = 65536;  // 64 KiB

inline constexpr unsigned long kManifestTimeoutMs = 20000;
inline constexpr unsigned long kDownloadTimeoutMs = 240000;

// A manifest's validators, as the host sent them with it; sent back, they ask whether it changed.
struct Validators {
  std::wstring etag;          // "ETag"
  std::wstring lastModified;  // "Last-Modified"
  bool empty() const { return etag.empty() && lastModified.empty(); }
};

struct HttpResponse {
  unsigned long status = 0;  // the HTTP status once a response arrived, 0 before
  std::string body;          // memory mode only
  Validators validators;     // of a 200 in memory mode
  std::wstring retryAfter;   // "Retry-After" as sent, for the pace of the next check
  std::wstring date;         // "Date" as sent, which a Retry-After date is counted from
};

// The process's one WinHTTP session with the update host: opened at the first request and kept to the
// process's end, so that every check reuses its connection while the host keeps it open, and pays a
// new TLS handshake only when the host closed it. Any thread may use it; requests never overlap (the
// update cycles keep apart).
class HttpSession {
 public:
  HttpSession() = default;
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // The connection to the update host, made at the first call; fails with the error of opening it.
  Result<HINTERNET> Connection();

 private:
  std::mutex lock_;
  UniqueInternet session_;
  UniqueInternet connection_;  // closed before the session
};

// GET https://kUpdateHost:443 + path over session, into memory. Never follows a redirect: a 3xx arrives
// as its status. timeoutMs applies to resolve, connect, send and receive. With ask, the request asks
// whether what those validators name changed (If-None-Match, If-Modified-Since).
//
// Succeeds for status 200 with the whole body read within limit bytes, and for a 304 when ask was given
// (with no body). On failure value.status still holds the status when a response arrived, and error()
// names the WinHTTP (or file) error when a call failed: ERROR_FILE_TOO_LARGE for a body over the limit,
// 0 when the failure is the status itself or a body cut short. Blocks the calling thread.
Result<HttpResponse> HttpFetch(HttpSession& session, const std::wstring& path, unsigned long timeoutMs,
                               unsigned long long limit, const Validators& ask = {});

// The same into filePath, within kDownloadLimit, also never following a redirect; the body stays empty. The file is
// always created new (a file of that name is an error, ERROR_FILE_EXISTS: never write into a file that
// another process made), written by this call alone and flushed to disk before it is closed. A failure
// may leave a partial file behind: removing it is the caller's business.
Result<HttpResponse> HttpFetchToFile(HttpSession& session, const std::wstring& path, const std::wstring& filePath,
                                     unsigned long timeoutMs);
