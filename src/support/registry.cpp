// Registry access over advapi32.
#include "support/registry.h"

namespace {

constexpr int kReadAttempts = 4;

}  // namespace

Result<UniqueRegKey> OpenRegistryKey(HKEY root, const wchar_t* subKey, REGSAM access) {
  UniqueRegKey key;
  const LSTATUS status = RegOpenKeyExW(root, subKey, 0, access, key.put());
  if (status != ERROR_SUCCESS) return Status::FromCode(status);
  return key;
}

Result<UniqueRegKey> CreateRegistryKey(HKEY root, const wchar_t* subKey, REGSAM access) {
  UniqueRegKey key;
  const LSTATUS status = RegCreateKeyExW(root, subKey, 0, nullptr, 0, access, nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) return Status::FromCode(status);
  return key;
}

Result<std::vector<unsigned char>> ReadRegistryData(HKEY key, const wchar_t* name) {
  DWORD bytes = 0;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &bytes);
  for (int attempt = 0; attempt < kReadAttempts && status == ERROR_SUCCESS; ++attempt) {
    if (bytes == 0) return std::vector<unsigned char>();
    std::vector<unsigned char> data(bytes, 0);
    DWORD got = bytes;
    status = RegQueryValueExW(key, name, nullptr, nullptr, data.data(), &got);
    if (status == ERROR_SUCCESS) {
      data.resize(got);
      return data;
    }
    // Another program wrote a longer value between the two calls: ask again with its new size.
    if (status == ERROR_MORE_DATA) {
      bytes = got;
      status = ERROR_SUCCESS;
    }
  }
  return Status::FromCode(status == ERROR_SUCCESS ? ERROR_MORE_DATA : status);
}

std::wstring RegistryDataText(const unsigned char* data, size_t bytes) {
  std::wstring text;
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    const wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (c == L'\0') break;
    text.push_back(c);
  }
  return text;
}

std::wstring ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* name) {
  Result<UniqueRegKey> key = OpenRegistryKey(root, subKey, KEY_QUERY_VALUE);
  if (!key) return {};
  Result<std::vector<unsigned char>> data = ReadRegistryData(key.value.get(), name);
  if (!data) return {};
  return RegistryDataText(data.value.data(), data.value.size());
}

Result<unsigned long> ReadRegistryNumber(HKEY key, const wchar_t* name) {
  DWORD number = 0;
  DWORD bytes = sizeof(number);
  const LSTATUS status = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &bytes);
  if (status != ERROR_SUCCESS) return Status::FromCode(status);
  return static_cast<unsigned long>(number);
}

Status WriteRegistryString(HKEY key, const wchar_t* name, const std::wstring& text) {
  // The data length counts the terminating zero.
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return Status::FromCode(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes));
}
