// testtool policy-table: the program's own table of update policy values, so that the test of the
// administrative templates (deploy/policy) compares them with what the program reads, not with a copy.
#include <string>

#include "support/text.h"
#include "testtool.h"
#include "update/update_policy.h"

namespace {

const wchar_t* KindName(PolicyKind kind) {
  switch (kind) {
    case PolicyKind::kSwitch:
      return L"switch";
    case PolicyKind::kNumber:
      return L"number";
    case PolicyKind::kVersion:
      return L"version";
  }
  return L"unknown";  // a kind without a name here fails the test that reads this
}

}  // namespace

int PolicyTableCommand(const ToolArgs& args) {
  if (!args.empty()) return UsageFailure(L"policy-table");
  std::wstring text;
  for (const PolicySetting& setting : kUpdatePolicySettings) {
    text += Format(L"%ls\t%ls\t%lu\t%lu\n", setting.name, KindName(setting.kind), setting.minimum, setting.maximum);
  }
  Out(text);
  return kToolOk;
}
