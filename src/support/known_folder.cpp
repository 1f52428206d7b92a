// Known folders through SHGetKnownFolderPath.
#include "support/known_folder.h"

std::wstring KnownFolderPath(REFKNOWNFOLDERID id) {
  PWSTR raw = nullptr;
  HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &raw);
  std::wstring path;
  if (SUCCEEDED(hr) && raw) path = raw;
  CoTaskMemFree(raw);  // also owed when the call failed after allocating
  return path;
}
