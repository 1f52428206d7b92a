// The update policy as read from the machine's and the user's policy keys, through a fake registry.
#include "update/update_policy.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "fixtures.h"

namespace {

using Key = std::pair<bool, std::wstring>;  // machine?, value name

PolicyValue Dword(DWORD number) {
  PolicyValue value{REG_DWORD, std::vector<unsigned char>(sizeof(number))};
  std::memcpy(value.data.data(), &number, sizeof(number));
  return value;
}

PolicyValue Text(const std::wstring& text, unsigned long type = REG_SZ) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  return {type, std::vector<unsigned char>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

UpdatePolicy Read(const std::map<Key, PolicyValue>& values, std::vector<std::string>* log = nullptr) {
  UpdatePolicy policy = ReadUpdatePolicy([&](bool machine, const wchar_t* name) -> std::optional<PolicyValue> {
    auto found = values.find({machine, name});
    if (found == values.end()) return std::nullopt;
    return found->second;
  });
  if (log) {
    log->clear();
    for (const std::wstring& warning : policy.warnings) log->push_back("[WARN] " + fixtures::U8(warning));
  }
  return policy;
}

}  // namespace

TEST(UpdatePolicyTest, NoValuesChangeNothing) {
  std::vector<std::string> log;
  const UpdatePolicy policy = Read({}, &log);
  EXPECT_FALSE(policy.disableUpdates);
  EXPECT_EQ(policy.intervalSeconds, 0u);
  EXPECT_EQ(policy.maxVersion, L"");
  EXPECT_EQ(policy.spreadSeconds, 0u);
  EXPECT_TRUE(log.empty());
}

TEST(UpdatePolicyTest, TheMachineWinsValueByValueAndTheUserFillsTheRest) {
  const UpdatePolicy policy = Read({{{true, L"UpdateIntervalSeconds"}, Dword(3600)},
                                    {{false, L"UpdateIntervalSeconds"}, Dword(60)},
                                    {{false, L"DisableUpdates"}, Dword(1)},
                                    {{false, L"MaxVersion"}, Text(L"1.8.0.0")},
                                    {{true, L"UpdateSpreadSeconds"}, Dword(600)}});
  EXPECT_EQ(policy.intervalSeconds, 3600u);
  EXPECT_TRUE(policy.disableUpdates);
  EXPECT_EQ(policy.disabledBy, L"HKCU\\SOFTWARE\\Policies\\OKAVU\\Quillmere\\DisableUpdates");
  EXPECT_EQ(policy.maxVersion, L"1.8.0.0");
  EXPECT_EQ(policy.spreadSeconds, 600u);
  // A machine value of 0 turns off what the user turned on.
  EXPECT_FALSE(Read({{{true, L"DisableUpdates"}, Dword(0)}, {{false, L"DisableUpdates"}, Dword(1)}}).disableUpdates);
}

TEST(UpdatePolicyTest, ValuesOutOfRangeOrUnreadableAreLeftOutAndNamed) {
  std::vector<std::string> log;
  const UpdatePolicy policy = Read({{{true, L"UpdateIntervalSeconds"}, Dword(4)},
                                    {{true, L"UpdateSpreadSeconds"}, Dword(86401)},
                                    {{false, L"UpdateRing"}, Dword(7)}},
                                   &log);
  EXPECT_FALSE(policy.disableUpdates);
  EXPECT_EQ(policy.intervalSeconds, 0u);
  EXPECT_EQ(policy.spreadSeconds, 0u);
  EXPECT_EQ(policy.ring, 1u);
  const std::string machine = "HKLM\\SOFTWARE\\Policies\\OKAVU\\Quillmere\\";
  const std::string user = "HKCU\\SOFTWARE\\Policies\\OKAVU\\Quillmere\\";
  EXPECT_EQ(log, (std::vector<std::string>{
                     "[WARN] 策略值 " + machine + "UpdateIntervalSeconds 无效（应在 5..86400 之间），忽略",
                     "[WARN] 策略值 " + machine + "UpdateSpreadSeconds 无效（应在 0..86400 之间），忽略",
                     "[WARN] 策略值 " + user + "UpdateRing=7 不是 0、1、2，按 1 处理"}));
  Read({{{true, L"UpdateIntervalSeconds"}, Text(L"1 hour")}, {{true, L"UpdateRing"}, Text(L"early")}}, &log);
  EXPECT_EQ(log, (std::vector<std::string>{
                     "[WARN] 策略值 " + machine +
                         "UpdateIntervalSeconds 无效（应为 REG_DWORD，或 1 到 10 位十进制数字的 REG_SZ），忽略",
                     "[WARN] 策略值 " + machine +
                         "UpdateRing 读不出（应为 REG_DWORD，或 1 到 10 位十进制数字的 REG_SZ），按 1 处理"}));
  EXPECT_EQ(Read({{{true, L"UpdateIntervalSeconds"}, Dword(86400)}}).intervalSeconds, 86400u);
  // What `reg add` writes without a type counts as its number.
  EXPECT_EQ(Read({{{true, L"UpdateIntervalSeconds"}, Text(L"3600")}}).intervalSeconds, 3600u);
  EXPECT_EQ(Read({{{true, L"UpdateRing"}, Text(L"2")}}).ring, 2u);
  EXPECT_EQ(Read({{{false, L"MaxVersion"}, Text(L"2.0", REG_EXPAND_SZ)}}).maxVersion, L"2.0");
}

TEST(UpdatePolicyTest, ADisableUpdatesOrMaxVersionThatCannotBeReadTurnsUpdatesOff) {
  const std::string machine = "HKLM\\SOFTWARE\\Policies\\OKAVU\\Quillmere\\";
  std::vector<std::string> log;
  UpdatePolicy policy = Read({{{true, L"DisableUpdates"}, Text(L"yes")}}, &log);
  EXPECT_TRUE(policy.disableUpdates);
  EXPECT_EQ(policy.disabledBy, L"HKLM\\SOFTWARE\\Policies\\OKAVU\\Quillmere\\DisableUpdates 读不出");
  EXPECT_EQ(log, std::vector<std::string>{"[WARN] 策略值 " + machine +
                                          "DisableUpdates 读不出（应为 REG_DWORD，或 1 到 10 位十进制数字的 REG_SZ），"
                                          "按禁用更新处理"});
  // Present but empty of data is present all the same.
  EXPECT_TRUE(Read({{{false, L"DisableUpdates"}, PolicyValue{REG_NONE, {}}}}).disableUpdates);
  EXPECT_TRUE(Read({{{true, L"DisableUpdates"}, Text(L"1")}}).disableUpdates) << "what reg add writes without /t";

  for (const PolicyValue& max : {Text(L"latest"), Dword(2), PolicyValue{REG_NONE, {}}}) {
    policy = Read({{{true, L"MaxVersion"}, max}}, &log);
    EXPECT_TRUE(policy.disableUpdates);
    EXPECT_EQ(policy.maxVersion, L"");
    EXPECT_EQ(log, std::vector<std::string>{"[WARN] 策略值 " + machine +
                                            "MaxVersion 读不出（应为 REG_SZ 版本号，如 1.8.0.0），修正之前不更新"});
  }
}

TEST(UpdatePolicyTest, ThePolicysIntervalReplacesTheDefaultAndRaisesAShorterOption) {
  UpdatePolicy policy;
  bool raised = true;
  EXPECT_EQ(EffectiveUpdateInterval(30, false, policy, raised), 30u);
  EXPECT_FALSE(raised);
  policy.intervalSeconds = 3600;
  EXPECT_EQ(EffectiveUpdateInterval(30, false, policy, raised), 3600u);
  EXPECT_FALSE(raised);
  EXPECT_EQ(EffectiveUpdateInterval(7200, true, policy, raised), 7200u);
  EXPECT_FALSE(raised);
  EXPECT_EQ(EffectiveUpdateInterval(60, true, policy, raised), 3600u);
  EXPECT_TRUE(raised);
}
