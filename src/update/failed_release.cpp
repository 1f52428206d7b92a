// Failed releases.
#include "update/failed_release.h"

#include <cwctype>

#include "support/computer.h"
#include "support/log.h"
#include "support/state.h"
#include "support/version_number.h"

namespace {

constexpr wchar_t kFailedVersion[] = L"FailedUpdateVersion";
constexpr wchar_t kFailedSha256[] = L"FailedUpdateSha256";
constexpr wchar_t kFailedComputer[] = L"FailedUpdateComputer";

std::wstring Lower(const std::wstring& text) {
  std::wstring lower = text;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  return lower;
}

}  // namespace

void RememberFailedRelease(const std::wstring& version, const std::wstring& sha256) {
  static_cast<void>(WriteStateValue(kFailedVersion, version));
  static_cast<void>(WriteStateValue(kFailedSha256, Lower(sha256)));
  static_cast<void>(WriteStateValue(kFailedComputer, ThisComputerName()));
  LogLine(LogLevel::kInfo, L"已记下安装失败的版本 %ls，清单不换版本或摘要就不再下载它", version.c_str());
}

FailedRelease ReadFailedRelease() {
  return {ReadStateValue(kFailedVersion), ReadStateValue(kFailedSha256), ReadStateValue(kFailedComputer)};
}

bool IsFailedRelease(const FailedRelease& failed, const std::wstring& version, const std::wstring& sha256,
                     const std::wstring& thisComputer) {
  return IsThisComputer(failed.computer, thisComputer) && SameVersionNumbers(failed.version, version) &&
         failed.sha256 == Lower(sha256);
}
