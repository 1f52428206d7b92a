// HTTPS GET over WinHTTP into memory or into a file, with the size limit and the redirect rule.
#include "update/http_fetch.h"

#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "support/handles.h"
#include "version.h"

namespace {

constexpr INTERNET_PORT kHttpsPort = 443;

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

// Reads the body chunk by chunk into sink(data, count); false on any read or sink failure, and
// when the body grows past kHttpBodyLimit.
template <typename Sink>
bool ReadBody(HINTERNET request, Sink sink) {
  unsigned long long total = 0;
  std::vector<char> buffer;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) return false;
    if (available == 0) break;
    if (total + available > kHttpBodyLimit) return false;
    if (buffer.size() < available) buffer.resize(available);
    DWORD read = 0;
    if (!WinHttpReadData(request, buffer.data(), available, &read) || read == 0) return false;
    if (!sink(buffer.data(), read)) return false;
    total += read;
  }
  // Some WinHTTP implementations report a connection that drops mid-body as the end of the body;
  // a body shorter than announced is a failed transfer, not a complete one.
  unsigned long long announced = 0;
  return !AnnouncedLength(request, announced) || announced == total;
}

}  // namespace

bool HttpFetch(const std::wstring& path, bool toFile, const std::wstring& filePath, std::string& body,
               unsigned long& status, unsigned long timeoutMs) {
  body.clear();
  status = 0;

  UniqueInternet session(WinHttpOpen(UserAgent().c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return false;
  const int timeout = static_cast<int>(timeoutMs);
  WinHttpSetTimeouts(session.get(), timeout, timeout, timeout, timeout);

  UniqueInternet connection(WinHttpConnect(session.get(), kUpdateHost, kHttpsPort, 0));
  if (!connection) return false;

  UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            WINHTTP_FLAG_SECURE));
  if (!request) return false;
  if (!toFile) {
    // The manifest must come from the manifest path itself: a redirect is an answer of its own.
    DWORD disable = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof(disable));
  }

  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                          0)) {
    return false;
  }
  if (!WinHttpReceiveResponse(request.get(), nullptr)) return false;

  DWORD code = 0;
  DWORD codeSize = sizeof(code);
  if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &code, &codeSize, WINHTTP_NO_HEADER_INDEX)) {
    status = code;
  }
  if (status != 200) return false;

  if (!toFile) {
    return ReadBody(request.get(), [&body](const char* data, DWORD count) {
      body.append(data, count);
      return true;
    });
  }

  UniqueFile file(CreateFileW(filePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
  if (!file) return false;
  return ReadBody(request.get(), [&file](const char* data, DWORD count) {
    DWORD written = 0;
    return WriteFile(file.get(), data, count, &written, nullptr) && written == count;
  });
}
