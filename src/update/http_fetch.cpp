// HTTPS GET over WinHTTP into memory or into a file, with the size limit and the redirect rule.
#include "update/http_fetch.h"

#include <windows.h>
#include <winhttp.h>

#include <functional>
#include <vector>

#include "support/handles.h"
#include "version.h"

namespace {

constexpr INTERNET_PORT kHttpsPort = 443;

using BodySink = std::function<Status(const char* data, DWORD count)>;

std::wstring UserAgent() { return std::wstring(L"OKAVU-Quillmere/") + kAppVersion; }

// The Content-Length of the response, when it has a well-formed one.
bool AnnouncedLength(HINTERNET request, unsigned long long& length) {
  wchar_t text[32] = {};
  DWORD size = sizeof(text);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
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
// past kHttpBodyLimit.
Status ReadBody(HINTERNET request, const BodySink& sink) {
  unsigned long long total = 0;
  std::vector<char> buffer;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) return Status::LastError();
    if (available == 0) break;
    if (total + available > kHttpBodyLimit) return Status::Failure();
    if (buffer.size() < available) buffer.resize(available);
    DWORD read = 0;
    if (!WinHttpReadData(request, buffer.data(), available, &read)) return Status::LastError();
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

// Sends the request and reads the response; openSink is called once the status is 200, to make the
// place the body goes to.
Result<HttpResponse> Fetch(const std::wstring& path, bool followRedirects, unsigned long timeoutMs,
                           const std::function<Result<BodySink>()>& openSink) {
  HttpResponse response;
  UniqueInternet session(WinHttpOpen(UserAgent().c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return Status::LastError();
  const int timeout = static_cast<int>(timeoutMs);
  WinHttpSetTimeouts(session.get(), timeout, timeout, timeout, timeout);

  UniqueInternet connection(WinHttpConnect(session.get(), kUpdateHost, kHttpsPort, 0));
  if (!connection) return Status::LastError();

  UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!request) return Status::LastError();
  if (!followRedirects) {
    DWORD disable = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof(disable));
  }

  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    return Status::LastError();
  }
  if (!WinHttpReceiveResponse(request.get(), nullptr)) return Status::LastError();

  DWORD code = 0;
  DWORD codeSize = sizeof(code);
  if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &code, &codeSize, WINHTTP_NO_HEADER_INDEX)) {
    response.status = code;
  }
  if (response.status != 200) return {Status::Failure(), response};

  Result<BodySink> sink = openSink();
  if (!sink) return {sink.status, response};
  Status read = ReadBody(request.get(), sink.value);
  if (!read) return {read, response};
  return response;
}

}  // namespace

Result<HttpResponse> HttpFetch(const std::wstring& path, unsigned long timeoutMs) {
  std::string body;
  // The manifest must come from the manifest path itself: a redirect is an answer of its own.
  Result<HttpResponse> fetched = Fetch(path, false, timeoutMs, [&body]() -> Result<BodySink> {
    return BodySink([&body](const char* data, DWORD count) {
      body.append(data, count);
      return Status::Success();
    });
  });
  if (fetched) fetched.value.body = std::move(body);
  return fetched;
}

Result<HttpResponse> HttpFetchToFile(const std::wstring& path, const std::wstring& filePath, unsigned long timeoutMs) {
  UniqueFile file;
  return Fetch(path, true, timeoutMs, [&file, &filePath]() -> Result<BodySink> {
    file.reset(CreateFileW(filePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return Status::LastError();
    return BodySink([&file](const char* data, DWORD count) {
      DWORD written = 0;
      if (!WriteFile(file.get(), data, count, &written, nullptr)) return Status::LastError();
      return written == count ? Status::Success() : Status::Failure(ERROR_WRITE_FAULT);
    });
  });
}
