// Reading the update policy.
#include "update/update_policy.h"

#include <windows.h>

#include "support/handles.h"
#include "support/registry.h"
#include "support/text.h"
#include "support/version_number.h"

namespace {

constexpr wchar_t kNumberForm[] = L"应为 REG_DWORD，或 1 到 10 位十进制数字的 REG_SZ";
constexpr wchar_t kVersionForm[] = L"应为 REG_SZ 版本号，如 1.8.0.0";

const PolicySetting& Setting(const wchar_t* name) {
  for (const PolicySetting& setting : kUpdatePolicySettings) {
    if (std::wstring(setting.name) == name) return setting;
  }
  return kUpdatePolicySettings[0];  // unreachable: every name read below is in the table
}

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

class Reader {
 public:
  explicit Reader(const PolicyLookup& lookup) : lookup_(lookup) {}

  void Ignored(const std::wstring& where, const std::wstring& why) {
    policy.warnings.push_back(Format(L"策略值 %ls 无效（%ls），忽略", where.c_str(), why.c_str()));
  }
  void FailedClosed(const std::wstring& where, const wchar_t* why, const wchar_t* effect) {
    policy.warnings.push_back(Format(L"策略值 %ls 读不出（%ls），%ls", where.c_str(), why, effect));
    policy.disableUpdates = true;
    if (policy.disabledBy.empty()) policy.disabledBy = where + L" 读不出";
  }

  // The number a setting holds; nullopt when absent. unreadable is set for a value that is there but is
  // no number; where receives the value's place.
  std::optional<unsigned long> Number(const wchar_t* name, std::wstring& where, bool& unreadable) {
    unreadable = false;
    const std::optional<PolicyValue> value = Look(lookup_, name, where);
    if (!value) return std::nullopt;
    const std::optional<unsigned long> number = RegistryDword(value->type, value->data.data(), value->data.size());
    unreadable = !number;
    return number;
  }

  // A number within the setting's range; anything else is left out with a warning.
  std::optional<unsigned long> Ranged(const wchar_t* name) {
    std::wstring where;
    bool unreadable = false;
    const std::optional<unsigned long> number = Number(name, where, unreadable);
    if (unreadable) Ignored(where, kNumberForm);
    if (!number) return std::nullopt;
    const PolicySetting& setting = Setting(name);
    if (*number < setting.minimum || *number > setting.maximum) {
      Ignored(where, Format(L"应在 %lu..%lu 之间", setting.minimum, setting.maximum));
      return std::nullopt;
    }
    return number;
  }

  UpdatePolicy policy;

 private:
  const PolicyLookup& lookup_;
};

}  // namespace

UpdatePolicy ReadUpdatePolicy(const PolicyLookup& lookup) {
  Reader reader(lookup);
  UpdatePolicy& policy = reader.policy;
  std::wstring where;
  bool unreadable = false;
  if (const std::optional<unsigned long> disabled = reader.Number(L"DisableUpdates", where, unreadable)) {
    policy.disableUpdates = *disabled != 0;
    if (policy.disableUpdates) policy.disabledBy = where;
  } else if (unreadable) {
    reader.FailedClosed(where, kNumberForm, L"按禁用更新处理");
  }
  if (const std::optional<unsigned long> interval = reader.Ranged(L"UpdateIntervalSeconds")) {
    policy.intervalSeconds = *interval;
  }
  if (const std::optional<unsigned long> spread = reader.Ranged(L"UpdateSpreadSeconds")) {
    policy.spreadSeconds = *spread;
  }
  if (const std::optional<unsigned long> ring = reader.Number(L"UpdateRing", where, unreadable)) {
    if (*ring <= Setting(L"UpdateRing").maximum) {
      policy.ring = *ring;
    } else {
      policy.warnings.push_back(Format(L"策略值 %ls=%lu 不是 0、1、2，按 1 处理", where.c_str(), *ring));
    }
  } else if (unreadable) {
    policy.warnings.push_back(Format(L"策略值 %ls 读不出（%ls），按 1 处理", where.c_str(), kNumberForm));
  }
  if (const std::optional<PolicyValue> max = Look(lookup, L"MaxVersion", where)) {
    const std::wstring text = RegistryDataText(max->data.data(), max->data.size());
    int parts[4];
    if ((max->type == REG_SZ || max->type == REG_EXPAND_SZ) && ParseVersion(text, parts)) {
      policy.maxVersion = text;
    } else {
      reader.FailedClosed(where, kVersionForm, L"修正之前不更新");
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
    if (data) return PolicyValue{type, std::move(data.value)};
    // There, but not to be read (too long, or access denied): present all the same, so that a policy
    // that must fail closed does.
    if (data.error() == ERROR_FILE_NOT_FOUND) return std::nullopt;
    return PolicyValue{REG_NONE, {}};
  };
}

unsigned long EffectiveUpdateInterval(unsigned long optionSeconds, bool optionGiven, const UpdatePolicy& policy,
                                      bool& raised) {
  raised = false;
  if (policy.intervalSeconds == 0) return optionSeconds;
  if (!optionGiven) return policy.intervalSeconds;
  if (optionSeconds >= policy.intervalSeconds) return optionSeconds;
  raised = true;
  return policy.intervalSeconds;
}
