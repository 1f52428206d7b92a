// Manifest parsing, download-location and digest rules.
#include "update/manifest.h"

#include <climits>
#include <cwctype>

#include "support/text.h"
#include "update/rollout.h"
#include "version.h"

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Sign and decimal digits after optional white space, up to the first other character, as the
// runtime's _wtoi64 reads them; 0 when no number begins the text. Saturates instead of wrapping,
// so an absurd size can never turn into a plausible one.
long long ParseSize(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  unsigned long long magnitude = 0;
  const unsigned long long limit =
      negative ? static_cast<unsigned long long>(LLONG_MAX) + 1 : static_cast<unsigned long long>(LLONG_MAX);
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    unsigned digit = static_cast<unsigned>(text[i] - L'0');
    magnitude = (magnitude > (limit - digit) / 10) ? limit : magnitude * 10 + digit;
  }
  if (!negative) return static_cast<long long>(magnitude);
  return magnitude == limit ? LLONG_MIN : -static_cast<long long>(magnitude);
}

bool IsHexDigit(wchar_t c) { return IsDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'); }

// True when the path part of a request path (up to "?" or "#") cannot lead out of its folder, whatever a
// server makes of it: no "." or ".." step, nor dots, slashes or backslashes hidden in percent-escapes,
// nor a backslash, which some servers read as a slash.
bool StaysInsideItsFolder(const std::wstring& requestPath) {
  const std::wstring path = requestPath.substr(0, requestPath.find_first_of(L"?#"));
  if (path.find(L'\\') != std::wstring::npos || path.find(L"..") != std::wstring::npos) return false;
  for (size_t i = path.find(L'%'); i != std::wstring::npos; i = path.find(L'%', i + 1)) {
    if (i + 2 >= path.size() || !IsHexDigit(path[i + 1]) || !IsHexDigit(path[i + 2])) return false;
    const wchar_t high = path[i + 1];
    const wchar_t low = static_cast<wchar_t>(towlower(path[i + 2]));
    if (high == L'2' && (low == L'e' || low == L'f')) return false;  // "." and "/"
    if (high == L'5' && low == L'c') return false;                     // "\"
  }
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find(L'/', start);
    const std::wstring step = path.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start);
    if (step == L".") return false;
    if (slash == std::wstring::npos) return true;
    start = slash + 1;
  }
}

bool HasControlCharacter(const std::wstring& value) {
  for (wchar_t c : value) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

}  // namespace

Result<UpdateInfo> ParseManifest(const std::wstring& text, ManifestReader reader) {
  UpdateInfo info;
  // The keys of the download this build installs; the other build's are unknown keys here.
  const bool windowless = reader == ManifestReader::kWindowless;
  const std::wstring urlKey = windowless ? L"windowless_url" : L"url";
  const std::wstring sha256Key = windowless ? L"windowless_sha256" : L"sha256";
  const std::wstring sizeKey = windowless ? L"windowless_size" : L"size";
  bool consoleUrl = false;
  size_t start = 0;
  for (;;) {
    size_t lf = text.find(L'\n', start);
    const std::wstring line = TrimW(text.substr(start, lf == std::wstring::npos ? std::wstring::npos : lf - start));
    if (!line.empty() && line[0] != L'#') {
      size_t eq = line.find(L'=');
      if (eq != std::wstring::npos) {
        const std::wstring key = TrimW(line.substr(0, eq));
        std::wstring value = TrimW(line.substr(eq + 1));
        if (key == L"version") {
          info.version = std::move(value);
        } else if (key == urlKey) {
          info.url = std::move(value);
        } else if (key == sha256Key) {
          info.sha256 = std::move(value);
        } else if (key == L"notes") {
          info.notes = std::move(value);
        } else if (key == sizeKey) {
          info.size = ParseSize(value);
        } else if (key == L"rollout_start") {
          info.rolloutStart = std::move(value);
        } else if (key == L"rollout_hours") {
          info.rolloutHours = std::move(value);
        } else if (key == L"seq") {
          info.seq = std::move(value);
        } else if (key == L"expires") {
          info.expires = std::move(value);
        } else if (key == L"url") {
          consoleUrl = !value.empty();
        }
      }
    }
    if (lf == std::wstring::npos) break;
    start = lf + 1;
  }
  // A control character in a value that reaches a command line or a request (a NUL cuts the helper's
  // line short) makes the manifest unusable, whatever else it says.
  const bool clean =
      !HasControlCharacter(info.version) && !HasControlCharacter(info.url) && !HasControlCharacter(info.sha256);
  // Said to the user only with a version that passed the same check.
  info.consoleOnly = windowless && info.url.empty() && consoleUrl && !HasControlCharacter(info.version);
  const bool usable = clean && !info.version.empty() && !info.url.empty() &&
                      ReadRolloutTerms(info.rolloutStart, info.rolloutHours).form != RolloutForm::kMalformed;
  return {usable ? Status::Success() : Status::Failure(), std::move(info)};
}

Result<std::wstring> ResolveDownloadPath(const std::wstring& url) {
  if (url.empty() || StartsWith(url, L"http://")) return Status::Failure();
  std::wstring path;
  if (StartsWith(url, L"https://")) {
    const std::wstring origin = std::wstring(L"https://") + kUpdateHost;
    if (!StartsWith(url, origin)) return Status::Failure();
    path = url.substr(origin.size());
  } else {
    // Anything else is a location relative to the update host, other schemes included.
    if (StartsWith(url, L"//")) return Status::Failure();
    path = url[0] == L'/' ? url : kDownloadPrefix + url;
  }
  if (!StartsWith(path, kDownloadPrefix) || !StaysInsideItsFolder(path)) return Status::Failure();
  return path;
}

Result<std::string> NormalizeSha256(const std::wstring& field) {
  // Exactly 64 ASCII hexadecimal digits; anything else, a wide character whose low byte would read as a
  // digit included, is no digest and gives no text.
  if (field.size() != 64) return Status::Failure();
  std::string digest;
  digest.reserve(64);
  for (wchar_t c : field) {
    if (c >= L'A' && c <= L'F') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return Status::Failure();
    digest.push_back(static_cast<char>(c));
  }
  return digest;
}

std::wstring ReleaseDigest(const UpdateInfo& info) {
  const Result<std::string> digest = NormalizeSha256(info.sha256);
  return digest ? FromUtf8(digest.value) : info.sha256;
}
