// The administrator's update policy: values under HKLM and HKCU\SOFTWARE\Policies\OKAVU\Quillmere, read
// once at the start of a run. Without them every run updates as it always did.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

inline constexpr wchar_t kUpdatePolicyKey[] = L"SOFTWARE\\Policies\\OKAVU\\Quillmere";

struct UpdatePolicy {
  bool disableUpdates = false;        // "DisableUpdates": no update thread and no check in any run
  std::wstring disabledBy;            // where DisableUpdates came from: "HKLM\..." or "HKCU\..."
  unsigned long intervalSeconds = 0;  // "UpdateIntervalSeconds", 5..86400; 0: the program's default
  std::wstring maxVersion;            // "MaxVersion": no version above it is installed; empty: no limit
  unsigned long spreadSeconds = 0;    // "UpdateSpreadSeconds": each check waits up to this much longer
};

// One value as stored; absent values are nullopt.
struct PolicyValue {
  unsigned long type = 0;  // REG_DWORD, REG_SZ, ...
  std::vector<unsigned char> data;
};
using PolicyLookup = std::function<std::optional<PolicyValue>(bool machine, const wchar_t* name)>;

// The policy that lookup gives: each value from the machine's key when it has it, else from the user's.
// A value of the wrong type or out of range is left out, with one WARN log line naming it.
UpdatePolicy ReadUpdatePolicy(const PolicyLookup& lookup);

// The policy keys of the registry.
PolicyLookup SystemPolicyLookup();
