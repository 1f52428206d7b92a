// Bench-only program: times the update code's SHA-256 and HTTPS download in-process, for bench/update_io_bench.py.
#include <windows.h>

#include <algorithm>
#include <utility>
#include <vector>
#include <string>

#include "support/console.h"
#include "support/files.h"
#include "support/text.h"
#include "update/http_fetch.h"
#include "update/manifest_signature.h"
#include "update/sha256.h"

namespace {

constexpr wchar_t kUsage[] =
    L"usage: update_io_probe sha256 FILE        prints: digest bytes cycle-ms hash-only-ms\n"
    L"           cycle: HashFile on a HoldForReading handle; hash only: Sha256Hex of the bytes in memory\n"
    L"       update_io_probe fetch PATH FILE [FIRST]\n"
    L"           GET https://<update host>PATH into FILE; with FIRST, that path is fetched into memory\n"
    L"           before, in the same process, as the manifest is before a download.\n"
    L"           prints: ok status bytes ms\n"
    L"       update_io_probe verify FILE KEY ROUNDS  checks FILE's signature against KEY (base64) ROUNDS times\n"
    L"           prints: verdict median-us best-us\n"
    L"       update_io_probe manifest PATH ROUNDS     fetches PATH into memory ROUNDS times in one process\n"
    L"           prints: first-ms median-ms best-ms (the first pays the process's TLS set-up)\n";

double Milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return now;
}

// Hashes the file as the update cycle hashes a download: HashFile (1 MiB reads into BCrypt's SHA-256)
// on a handle opened by HoldForReading. Then, for the hash alone, the same bytes read whole into memory
// (ReadAllBytes, not timed) and hashed by Sha256Hex: the system's SHA-256 without any file reading.
int HashCommand(const std::wstring& file) {
  const LARGE_INTEGER start = Now();
  const Result<UniqueFile> held = HoldForReading(file);
  const Result<FileHash> hashed = held ? HashFile(held.value.get()) : Result<FileHash>(held.status);
  const LARGE_INTEGER cycleDone = Now();
  Result<std::vector<unsigned char>> bytes = ReadAllBytes(file);
  if (!hashed || !bytes) {
    ConsoleWrite(stderr, L"update_io_probe: cannot read or hash the file\n");
    return 1;
  }
  const LARGE_INTEGER hashStart = Now();
  const std::string digest = Sha256Hex(bytes.value.data(), bytes.value.size());
  const LARGE_INTEGER hashDone = Now();
  if (digest != hashed.value.hex) {
    ConsoleWrite(stderr, L"update_io_probe: HashFile and Sha256Hex disagree\n");
    return 1;
  }
  ConsoleWrite(stdout, Format(L"%hs %llu %.3f %.3f\n", digest.c_str(), hashed.value.bytes,
                              Milliseconds(start, cycleDone), Milliseconds(hashStart, hashDone))
                           .c_str());
  return 0;
}

int FetchCommand(const std::wstring& path, const std::wstring& file, const std::wstring& first) {
  HttpSession session;  // as a watcher's: the download follows the manifest on the same connection
  if (!first.empty()) {
    Result<HttpResponse> manifest = HttpFetch(session, first, kManifestTimeoutMs, kManifestLimit);
    if (!manifest) {
      ConsoleWrite(
          stderr,
          Format(L"update_io_probe: fetching %ls failed (status %lu)\n", first.c_str(), manifest.value.status).c_str());
      return 1;
    }
  }
  const LARGE_INTEGER start = Now();
  const Result<HttpResponse> fetched = HttpFetchToFile(session, path, file, kDownloadTimeoutMs);
  const LARGE_INTEGER done = Now();
  const bool ok = fetched.ok();
  const unsigned long status = fetched.value.status;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  unsigned long long bytes = 0;
  if (GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) {
    bytes = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  ConsoleWrite(stdout, Format(L"%d %lu %llu %.3f\n", ok ? 1 : 0, status, bytes, Milliseconds(start, done)).c_str());
  return ok ? 0 : 1;
}

// Median and best of samples, in place.
std::pair<double, double> MedianAndBest(std::vector<double>& samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples.front()};
}

int VerifyCommand(const std::wstring& file, const std::wstring& key, int rounds) {
  Result<std::vector<unsigned char>> bytes = ReadAllBytes(file);
  if (!bytes || rounds < 1) return 2;
  const std::string body(bytes.value.begin(), bytes.value.end());
  const std::string publicKey = ToUtf8(key);
  std::vector<double> micros;
  SignatureCheck verdict = SignatureCheck::kMissing;
  for (int i = 0; i < rounds; ++i) {
    const LARGE_INTEGER start = Now();
    verdict = CheckManifestSignature(body, publicKey).check;
    micros.push_back(Milliseconds(start, Now()) * 1000.0);
  }
  const auto [median, best] = MedianAndBest(micros);
  ConsoleWrite(stdout, Format(L"%d %.1f %.1f\n", static_cast<int>(verdict), median, best).c_str());
  return verdict == SignatureCheck::kValid ? 0 : 1;
}

int ManifestCommand(const std::wstring& path, int rounds) {
  HttpSession session;  // one for all rounds, as a watcher keeps it
  std::vector<double> millis;
  for (int i = 0; i < rounds; ++i) {
    const LARGE_INTEGER start = Now();
    Result<HttpResponse> fetched = HttpFetch(session, path, kManifestTimeoutMs, kManifestLimit);
    millis.push_back(Milliseconds(start, Now()));
    if (!fetched) return 1;
  }
  const double first = millis.front();
  std::vector<double> warm(millis.begin() + 1, millis.end());
  if (warm.empty()) warm.push_back(first);
  const auto [median, best] = MedianAndBest(warm);
  ConsoleWrite(stdout, Format(L"%.3f %.3f %.3f\n", first, median, best).c_str());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"sha256" && argc == 3) return HashCommand(argv[2]);
  if (command == L"fetch" && (argc == 4 || argc == 5)) return FetchCommand(argv[2], argv[3], argc == 5 ? argv[4] : L"");
  if (command == L"verify" && argc == 5) return VerifyCommand(argv[2], argv[3], _wtoi(argv[4]));
  if (command == L"manifest" && argc == 4) return ManifestCommand(argv[2], _wtoi(argv[3]));
  ConsoleWrite(stderr, kUsage);
  return 2;
}
