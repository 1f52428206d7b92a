// The administrator's update policy: values under HKLM and HKCU\SOFTWARE\Policies\OKAVU\Quillmere, read at
// the start of a run and again before every update check. Without them every run updates as it always did.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

inline constexpr wchar_t kUpdatePolicyKey[] = L"SOFTWARE\\Policies\\OKAVU\\Quillmere";

// The kinds of value a policy setting is.
enum class PolicyKind {
  kSwitch,   // a number: 0 off, anything else on
  kNumber,   // a number within [minimum, maximum]
  kVersion,  // a REG_SZ (or REG_EXPAND_SZ) dotted version such as 1.8.0.0
};

// One setting of the update policy. The administrative templates (deploy/policy) describe the same
// table; a test compares the two.
struct PolicySetting {
  const wchar_t* name;
  PolicyKind kind;
  unsigned long minimum;  // kNumber: the range; kSwitch: 0..1 as the templates write it
  unsigned long maximum;
  const wchar_t* meaning;
};

inline constexpr PolicySetting kUpdatePolicySettings[] = {
    {L"DisableUpdates", PolicyKind::kSwitch, 0, 1, L"非 0：不检查更新；值读不出时也按禁用处理"},
    {L"UpdateIntervalSeconds", PolicyKind::kNumber, 5, 86400, L"检查更新的间隔秒数；命令行给得更短时按此值"},
    {L"MaxVersion", PolicyKind::kVersion, 0, 0, L"不安装高于此版本的更新；值读不出时不更新"},
    {L"UpdateSpreadSeconds", PolicyKind::kNumber, 0, 86400, L"每次检查前再随机多等 0..N 秒"},
    {L"UpdateRing", PolicyKind::kNumber, 0, 2, L"分批推送的批次：0 最先，1 默认，2 最后"},
};

// The default ring, also for a value outside 0..2.
inline constexpr unsigned long kDefaultUpdateRing = 1;

struct UpdatePolicy {
  // No update request at all: DisableUpdates non-zero or unreadable, or a MaxVersion that cannot be read.
  bool disableUpdates = false;
  std::wstring disabledBy;            // why, for the one line that says so: "HKLM\...\DisableUpdates", ...
  unsigned long intervalSeconds = 0;  // "UpdateIntervalSeconds"; 0: none
  std::wstring maxVersion;            // "MaxVersion": no version above it is installed; empty: no limit
  unsigned long spreadSeconds = 0;    // "UpdateSpreadSeconds": each check waits up to this much longer
  unsigned long ring = kDefaultUpdateRing;  // "UpdateRing"
  // WARN log lines about values that were ignored or read otherwise; the caller says each once.
  std::vector<std::wstring> warnings;
};

// One value as stored; absent values are nullopt.
struct PolicyValue {
  unsigned long type = 0;  // REG_DWORD, REG_SZ, ...
  std::vector<unsigned char> data;
};
using PolicyLookup = std::function<std::optional<PolicyValue>(bool machine, const wchar_t* name)>;

// The policy that lookup gives: each value from the machine's key when it has it, else from the user's.
// Numbers follow the program's rule for stored numbers. A DisableUpdates or MaxVersion that is there but
// cannot be read turns updates off (the policy fails closed); any other value that cannot be read, or is
// out of range, is left out. Each such finding is one line in warnings. Logs nothing itself.
UpdatePolicy ReadUpdatePolicy(const PolicyLookup& lookup);

// The policy keys of the registry. A value that is there but cannot be read comes back with type
// REG_NONE and no data, so that it counts as present.
PolicyLookup SystemPolicyLookup();

// The update interval in force: the policy's replaces the default; an interval from the command line
// stands unless it is shorter than the policy's, which then wins (raised is set).
unsigned long EffectiveUpdateInterval(unsigned long optionSeconds, bool optionGiven, const UpdatePolicy& policy,
                                      bool& raised);
