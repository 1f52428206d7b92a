// Persisted update state.
#include "support/state.h"

#include "support/handles.h"

LSTATUS WriteStateValue(const wchar_t* name, const std::wstring& value) {
  HKEY raw = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_CURRENT_USER, kStateKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &raw, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  RegSetValueExW(raw, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  return RegCloseKey(raw);
}

std::wstring ReadStateValue(const wchar_t* name) {
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kStateKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return {};
  // 1024 zeroed bytes offered as 1022, so a terminator always follows what the registry writes.
  wchar_t buf[512] = {};
  DWORD type = 0;
  DWORD bytes = sizeof(buf) - sizeof(wchar_t);
  if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &bytes) != ERROR_SUCCESS) {
    return {};
  }
  return std::wstring(buf);
}
