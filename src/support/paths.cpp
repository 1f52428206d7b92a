// Path text.
#include "support/paths.h"

#include <windows.h>

#include <cwctype>
#include <vector>

namespace {

constexpr DWORD kFullPathChars = 0x8000;

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

std::wstring FolderOf(const std::wstring& path, const std::wstring& whenNone) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? whenNone : path.substr(0, slash);
}
