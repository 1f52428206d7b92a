// Persisted update state.
#include "support/state.h"

#include "support/registry.h"
#include "support/text.h"

namespace {

// 510 characters and a terminator: longer values read as empty, as they always have.
constexpr size_t kReadableBytes = 1022;

}  // namespace

Status WriteStateValue(const wchar_t* name, const std::wstring& value) {
  Result<UniqueRegKey> key = CreateRegistryKey(HKEY_CURRENT_USER, kStateKey, KEY_SET_VALUE);
  if (!key) return key.status;
  // What is stored may come from outside (a manifest's version): whoever reads it back sees it as text.
  return WriteRegistryString(key.value.get(), name, EscapeOutsideText(value));
}

std::wstring ReadStateValue(const wchar_t* name) {
  Result<UniqueRegKey> key = OpenRegistryKey(HKEY_CURRENT_USER, kStateKey, KEY_QUERY_VALUE);
  if (!key) return {};
  Result<std::vector<unsigned char>> data = ReadRegistryData(key.value.get(), name);
  if (!data || data.value.size() > kReadableBytes) return {};
  return RegistryDataText(data.value.data(), data.value.size());
}
