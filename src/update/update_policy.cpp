// Reading the update policy.
#include "update/update_policy.h"

#include <windows.h>

#include "support/handles.h"
#include "support/log.h"
#include "support/registry.h"
#include "support/version_number.h"

namespace {

constexpr unsigned long kIntervalMin = 5;
constexpr unsigned long kIntervalMax = 86400;

std::wstring Where(bool machine, const wchar_t* name) {
  return std::wstring(machine ? L"HKLM\\" : L"HKCU\\") + kUpdatePolicyKey + L"\\" + name;
}

// The value and where it came from; the machine's wins.
std::optional<PolicyValue> Look(const PolicyLookup& lookup, const wchar_t* name, std::wstring& where) {
  for (bool machine : {true, false}) {
    std::optional<PolicyValue> value = lookup(machine, name);
    if (value) {
      where = Where(machine, name);
      return value;
    }
  }
  return std::nullopt;
}

void Ignored(const std::wstring& where, const wchar_t* why) {
  LogLine(LogLevel::kWarn, L"策略值 %ls 无效（%ls），忽略", where.c_str(), why);
}

std::optional<unsigned long> Number(const PolicyLookup& lookup, const wchar_t* name, std::wstring& where) {
  const std::optional<PolicyValue> value = Look(lookup, name, where);
  if (!value) return std::nullopt;
  const std::optional<unsigned long> number = RegistryDword(value->type, value->data.data(), value->data.size());
  if (!number) Ignored(where, L"应为 REG_DWORD，或 1 到 10 位十进制数字的 REG_SZ");
  return number;
}

}  // namespace

UpdatePolicy ReadUpdatePolicy(const PolicyLookup& lookup) {
  UpdatePolicy policy;
  std::wstring where;
  if (const std::optional<unsigned long> disabled = Number(lookup, L"DisableUpdates", where)) {
    policy.disableUpdates = *disabled != 0;
    if (policy.disableUpdates) policy.disabledBy = where;
  }
  if (const std::optional<unsigned long> interval = Number(lookup, L"UpdateIntervalSeconds", where)) {
    if (*interval >= kIntervalMin && *interval <= kIntervalMax) {
      policy.intervalSeconds = *interval;
    } else {
      Ignored(where, L"应在 5..86400 之间");
    }
  }
  if (const std::optional<unsigned long> spread = Number(lookup, L"UpdateSpreadSeconds", where)) {
    if (*spread <= kIntervalMax) {
      policy.spreadSeconds = *spread;
    } else {
      Ignored(where, L"应在 0..86400 之间");
    }
  }
  if (const std::optional<PolicyValue> max = Look(lookup, L"MaxVersion", where)) {
    const std::wstring text = RegistryDataText(max->data.data(), max->data.size());
    int parts[4];
    if ((max->type == REG_SZ || max->type == REG_EXPAND_SZ) && ParseVersion(text, parts)) {
      policy.maxVersion = text;
    } else {
      Ignored(where, L"应为 REG_SZ 版本号，如 1.8.0.0");
    }
  }
  return policy;
}

PolicyLookup SystemPolicyLookup() {
  return [](bool machine, const wchar_t* name) -> std::optional<PolicyValue> {
    Result<UniqueRegKey> key =
        OpenRegistryKey(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, kUpdatePolicyKey, KEY_QUERY_VALUE);
    if (!key) return std::nullopt;
    unsigned long type = REG_NONE;
    Result<std::vector<unsigned char>> data = ReadRegistryData(key.value.get(), name, &type);
    if (!data) return std::nullopt;
    return PolicyValue{type, std::move(data.value)};
  };
}
