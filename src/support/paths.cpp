// Path and file helpers.
#include "support/paths.h"

#include <windows.h>

#include <cwctype>
#include <new>
#include <vector>

#include "support/handles.h"
#include "support/text.h"

namespace {

constexpr DWORD kFullPathChars = 0x8000;
constexpr DWORD kSystemPathChars = 1040;
constexpr DWORD kMaxChunk = 0x10000000;  // 256 MiB per ReadFile call

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::wstring NormalizeForCompare(const std::wstring& path) {
  std::wstring s = path;
  if (s.compare(0, 4, L"\\\\?\\") == 0) s.erase(0, 4);
  while (!s.empty() && IsSeparator(s.back())) s.pop_back();
  for (wchar_t& c : s) c = static_cast<wchar_t>(towlower(c));
  return s;
}

}  // namespace

std::wstring FullPath(const std::wstring& path) {
  std::vector<wchar_t> buf(kFullPathChars);
  DWORD n = GetFullPathNameW(path.c_str(), kFullPathChars, buf.data(), nullptr);
  if (n >= 1 && n < kFullPathChars) return std::wstring(buf.data(), n);
  return path;
}

std::wstring Join(const std::wstring& directory, const std::wstring& name) {
  if (directory.empty()) return name;
  if (IsSeparator(directory.back())) return directory + name;
  return directory + L"\\" + name;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  if (a.empty() || b.empty()) return false;
  return NormalizeForCompare(a) == NormalizeForCompare(b);
}

std::wstring TrimW(const std::wstring& text) {
  const wchar_t* blanks = L" \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::wstring::npos) return {};
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::unique_ptr<unsigned char[]> ReadAllBytes(const std::wstring& path, unsigned long long& size) {
  size = 0;
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return nullptr;
  LARGE_INTEGER li{};
  if (!GetFileSizeEx(file.get(), &li) || li.QuadPart <= 0) return nullptr;
  unsigned long long total = static_cast<unsigned long long>(li.QuadPart);
  if (total > static_cast<unsigned long long>(SIZE_MAX)) return nullptr;
  std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[static_cast<size_t>(total)]);
  if (!data) return nullptr;
  unsigned long long done = 0;
  while (done < total) {
    unsigned long long left = total - done;
    DWORD chunk = left > kMaxChunk ? kMaxChunk : static_cast<DWORD>(left);
    DWORD got = 0;
    if (!ReadFile(file.get(), data.get() + done, chunk, &got, nullptr) || got == 0) break;
    done += got;
  }
  if (done != total) return nullptr;
  size = total;
  return data;
}

bool PeFileVersionString(const std::wstring& path, std::wstring& version) {
  version.clear();
  DWORD handle = 0;
  DWORD bytes = GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (bytes == 0) return false;
  std::vector<unsigned char> block(bytes, 0);
  if (!GetFileVersionInfoW(path.c_str(), 0, bytes, block.data())) return false;
  void* translation = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translation, &length) || !translation ||
      length < 4) {
    return false;
  }
  const WORD* pair = static_cast<const WORD*>(translation);
  wchar_t subBlock[128];
  FormatInto(subBlock, 128, L"\\StringFileInfo\\%04x%04x\\FileVersion", pair[0], pair[1]);
  void* text = nullptr;
  if (!VerQueryValueW(block.data(), subBlock, &text, &length) || !text || length == 0) return false;
  version = static_cast<const wchar_t*>(text);
  return !version.empty();
}

bool IsExistingFile(const std::wstring& path) {
  DWORD attrs = GetFileAttributesW(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring ModulePath() {
  wchar_t buf[kSystemPathChars] = {};
  const DWORD n = GetModuleFileNameW(nullptr, buf, kSystemPathChars);
  // A full buffer means a cut path, which names some other file.
  if (n == 0 || n >= kSystemPathChars) return {};
  return std::wstring(buf, n);
}

std::wstring TempFolder() {
  wchar_t buf[kSystemPathChars] = {};
  const DWORD n = GetTempPathW(kSystemPathChars, buf);
  if (n == 0 || n >= kSystemPathChars) return {};
  return std::wstring(buf, n);
}

std::wstring FolderOf(const std::wstring& path, const std::wstring& whenNone) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? whenNone : path.substr(0, slash);
}
