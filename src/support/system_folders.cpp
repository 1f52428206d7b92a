// System folders.
#include "support/system_folders.h"

#include "support/system_dll.h"

namespace {

constexpr DWORD kSystemPathChars = 1040;

}  // namespace

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

std::wstring CurrentFolder() {
  // Another thread may change it between the two calls; a second size mismatch gives up.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return {};
    std::wstring folder(needed, L'\0');
    const DWORD n = GetCurrentDirectoryW(needed, folder.data());
    if (n > 0 && n < needed) {
      folder.resize(n);
      return folder;
    }
  }
  return {};
}

std::wstring KnownFolderPath(REFKNOWNFOLDERID id) {
  PWSTR raw = nullptr;
  const ShellOleApi& shell = ShellOle();
  if (shell.loadError != ERROR_SUCCESS) return {};
  HRESULT hr = shell.getKnownFolderPath(id, 0, nullptr, &raw);
  std::wstring path;
  if (SUCCEEDED(hr) && raw) path = raw;
  shell.coTaskMemFree(raw);  // also owed when the call failed after allocating
  return path;
}
