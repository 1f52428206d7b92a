// Registry access over advapi32.
#include "support/registry.h"

namespace {

constexpr int kReadAttempts = 4;
constexpr size_t kMaxDwordDigits = 10;  // 4294967295

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

Result<std::vector<unsigned char>> ReadRegistryData(HKEY key, const wchar_t* name, unsigned long* type) {
  DWORD bytes = 0;
  DWORD stored = REG_NONE;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &stored, nullptr, &bytes);
  for (int attempt = 0; attempt < kReadAttempts && status == ERROR_SUCCESS; ++attempt) {
    if (bytes == 0) {
      if (type) *type = stored;
      return std::vector<unsigned char>();
    }
    std::vector<unsigned char> data(bytes, 0);
    DWORD got = bytes;
    // The type comes with the very bytes read: the value may be rewritten between the two calls.
    status = RegQueryValueExW(key, name, nullptr, &stored, data.data(), &got);
    if (status == ERROR_SUCCESS) {
      data.resize(got);
      if (type) *type = stored;
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

std::optional<unsigned long> RegistryDword(unsigned long type, const unsigned char* data, size_t bytes) {
  if (type == REG_DWORD) {
    if (bytes != sizeof(DWORD)) return std::nullopt;
    return static_cast<unsigned long>(data[0]) | (static_cast<unsigned long>(data[1]) << 8) |
           (static_cast<unsigned long>(data[2]) << 16) | (static_cast<unsigned long>(data[3]) << 24);
  }
  if (type != REG_SZ) return std::nullopt;
  const std::wstring text = RegistryDataText(data, bytes);
  if (text.empty() || text.size() > kMaxDwordDigits) return std::nullopt;
  unsigned long long number = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    number = number * 10 + static_cast<unsigned long long>(c - L'0');
  }
  if (number > 0xFFFFFFFFULL) return std::nullopt;
  return static_cast<unsigned long>(number);
}

Result<unsigned long> ReadRegistryDword(HKEY key, const wchar_t* name) {
  unsigned long type = REG_NONE;
  Result<std::vector<unsigned char>> data = ReadRegistryData(key, name, &type);
  if (!data) return data.status;
  const std::optional<unsigned long> number = RegistryDword(type, data.value.data(), data.value.size());
  if (!number) return Status::Failure(ERROR_INVALID_DATA);
  return *number;
}

Status WriteRegistryString(HKEY key, const wchar_t* name, const std::wstring& text) {
  // The data length counts the terminating zero.
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return Status::FromCode(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes));
}
