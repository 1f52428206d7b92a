// HTTPS GET over WinHTTP into memory or into a file, over the process's one session, with the size limit,
// the redirect rule and conditional requests.
#include "update/http_fetch.h"

#include <windows.h>
#include <winhttp.h>

#include <functional>
#include <vector>

#include "support/handles.h"
#include "support/system_dll.h"
#include "update/http_session.h"
#include "version.h"

namespace {

constexpr INTERNET_PORT kHttpsPort = 443;

using BodySink = std::function<Status(const char* data, DWORD count)>;

std::wstring UserAgent() { return std::wstring(L"OKAVU-Quillmere/") + kAppVersion; }

// The Content-Length of the response, when it has a well-formed one.
bool AnnouncedLength(HINTERNET request, unsigned long long& length) {
  wchar_t text[32] = {};
  DWORD size = sizeof(text);
  if (!WinHttp().queryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                              WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  length = 0;
  const wchar_t* p = text;
  if (*p == L'\0') return false;
  for (; *p != L'\0'; ++p) {
    if (*p < L'0' || *p > L'9' || length > (~0ULL - 9) / 10) return false;
    length = length * 10 + static_cast<unsigned long long>(*p - L'0');
  }
  return true;
}

// Reads the body chunk by chunk into sink; fails on any read or sink failure, and when the body grows
// past limit.
Status ReadBody(HINTERNET request, unsigned long long limit, const BodySink& sink) {
  unsigned long long total = 0;
  std::vector<char> buffer;
  for (;;) {
    DWORD available = 0;
    if (!WinHttp().queryDataAvailable(request, &available)) return Status::LastError();
    if (available == 0) {
      // The read that finds the end is what hands the connection back for the next request (an
      // empty answer such as a 304 otherwise closes it with its request).
      char end = 0;
      DWORD read = 0;
      if (!WinHttp().readData(request, &end, 1, &read)) return Status::LastError();
      if (read == 0) break;
      if (total + read > limit) return Status::Failure(ERROR_FILE_TOO_LARGE);
      Status written = sink(&end, read);
      if (!written) return written;
      total += read;
      continue;
    }
    if (total + available > limit) return Status::Failure(ERROR_FILE_TOO_LARGE);
    if (buffer.size() < available) buffer.resize(available);
    DWORD read = 0;
    if (!WinHttp().readData(request, buffer.data(), available, &read)) return Status::LastError();
    if (read == 0) return Status::Failure();
    Status written = sink(buffer.data(), read);
    if (!written) return written;
    total += read;
  }
  // Some WinHTTP implementations report a connection that drops mid-body as the end of the body;
  // a body shorter than announced is a failed transfer, not a complete one.
  unsigned long long announced = 0;
  if (AnnouncedLength(request, announced) && announced != total) return Status::Failure();
  return Status::Success();
}

// A response header as text; empty when the response has none.
std::wstring Header(HINTERNET request, DWORD which) {
  DWORD bytes = 0;
  WinHttp().queryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                         WINHTTP_NO_HEADER_INDEX);
  if (bytes == 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttp().queryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes,
                              WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  text.resize(bytes / sizeof(wchar_t));
  return text;
}

// The request lines that ask whether what ask names changed; a value with a line break is not sent.
std::wstring ConditionalHeaders(const Validators& ask) {
  std::wstring headers;
  const auto add = [&headers](const wchar_t* name, const std::wstring& value) {
    if (value.empty() || value.find_first_of(L"\r\n") != std::wstring::npos) return;
    headers += std::wstring(name) + L": " + value + L"\r\n";
  };
  add(L"If-None-Match", ask.etag);
  add(L"If-Modified-Since", ask.lastModified);
  return headers;
}

// Sends the request and reads the response; openSink is called once the status is 200, to make the
// place the body goes to.
Result<HttpResponse> Fetch(HttpSession& session, const std::wstring& path, unsigned long timeoutMs,
                           unsigned long long limit, const Validators& ask,
                           const std::function<Result<BodySink>()>& openSink) {
  const WinHttpApi& api = WinHttp();
  if (api.loadError != ERROR_SUCCESS) return Status::Failure(api.loadError);
  HttpResponse response;
  const Result<HINTERNET> connection = session.Connection();
  if (!connection) return connection.status;

  UniqueInternet request(api.openRequest(connection.value, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!request) return Status::LastError();
  const int timeout = static_cast<int>(timeoutMs);
  api.setTimeouts(request.get(), timeout, timeout, timeout, timeout);
  // Neither the manifest nor a download follows a redirect: each must come from the path asked for.
  DWORD disable = WINHTTP_DISABLE_REDIRECTS;
  api.setOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof(disable));

  const std::wstring headers = ConditionalHeaders(ask);
  if (!api.sendRequest(request.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                       headers.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    return Status::LastError();
  }
  if (!api.receiveResponse(request.get(), nullptr)) return Status::LastError();

  DWORD code = 0;
  DWORD codeSize = sizeof(code);
  if (api.queryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                       WINHTTP_HEADER_NAME_BY_INDEX, &code, &codeSize, WINHTTP_NO_HEADER_INDEX)) {
    response.status = code;
  }
  response.retryAfter = Header(request.get(), WINHTTP_QUERY_RETRY_AFTER);
  response.date = Header(request.get(), WINHTTP_QUERY_DATE);
  if (response.status != 200) {
    // An answer read to its end leaves the connection to the next request; one left half read closes it.
    static_cast<void>(ReadBody(request.get(), kManifestLimit, [](const char*, DWORD) { return Status::Success(); }));
    if (response.status == 304 && !ask.empty()) return response;
    return {Status::Failure(), response};
  }
  response.validators.etag = Header(request.get(), WINHTTP_QUERY_ETAG);
  response.validators.lastModified = Header(request.get(), WINHTTP_QUERY_LAST_MODIFIED);

  Result<BodySink> sink = openSink();
  if (!sink) return {sink.status, response};
  Status read = ReadBody(request.get(), limit, sink.value);
  if (!read) return {read, response};
  return response;
}

}  // namespace

Result<HINTERNET> HttpSession::Connection() {
  std::lock_guard<std::mutex> hold(lock_);
  if (connection_) return connection_.get();
  const WinHttpApi& api = WinHttp();
  if (api.loadError != ERROR_SUCCESS) return Status::Failure(api.loadError);
  if (!session_) session_.reset(OpenUpdateSession(api.open, UserAgent().c_str()));
  if (!session_) return Status::LastError();
  connection_.reset(api.connect(session_.get(), kUpdateHost, kHttpsPort, 0));
  if (!connection_) return Status::LastError();
  return connection_.get();
}

Result<HttpResponse> HttpFetch(HttpSession& session, const std::wstring& path, unsigned long timeoutMs,
                               unsigned long long limit, const Validators& ask) {
  std::string body;
  Result<HttpResponse> fetched = Fetch(session, path, timeoutMs, limit, ask, [&body]() -> Result<BodySink> {
    return BodySink([&body](const char* data, DWORD count) {
      body.append(data, count);
      return Status::Success();
    });
  });
  if (fetched) fetched.value.body = std::move(body);
  return fetched;
}

Result<HttpResponse> HttpFetchToFile(HttpSession& session, const std::wstring& path, const std::wstring& filePath,
                                     unsigned long timeoutMs) {
  UniqueFile file;
  Result<HttpResponse> fetched =
      Fetch(session, path, timeoutMs, kDownloadLimit, {}, [&file, &filePath]() -> Result<BodySink> {
        // CREATE_NEW: a file that appeared under this name since the caller deleted it is another
        // process's, and nothing of ours is written into it.
        file.reset(
            CreateFileW(filePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return Status::LastError();
        return BodySink([&file](const char* data, DWORD count) {
          DWORD written = 0;
          if (!WriteFile(file.get(), data, count, &written, nullptr)) return Status::LastError();
          return written == count ? Status::Success() : Status::Failure(ERROR_WRITE_FAULT);
        });
      });
  // On disk before anyone is told it is there: a power loss must not leave a verified name without data.
  if (fetched && !FlushFileBuffers(file.get())) return {Status::LastError(), fetched.value};
  return fetched;
}
