// Desktop environment checks before the first paint: own session, shell window, shell session, wallpaper
// policies, and the settings that change the wallpaper on their own.
#include "wallpaper/desktop_env.h"

#include <windows.h>

#include "support/console.h"
#include "support/log.h"
#include "support/registry.h"
#include "support/report.h"
#include "support/system_dll.h"

namespace {

constexpr wchar_t kPolicyKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
constexpr wchar_t kActiveDesktopPolicyKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\ActiveDesktop";
constexpr wchar_t kPolicyValue[] = L"NoChangingWallPaper";
constexpr wchar_t kWallpapersKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Wallpapers";
constexpr wchar_t kPersonalizationCspKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\PersonalizationCSP";
constexpr unsigned long kBackgroundPicture = 0;
constexpr unsigned long kCspImageInPlace = 1;  // DesktopImageStatus: downloaded or copied

// A numeric desktop setting, by the program's rule for stored numbers.
Result<unsigned long> ReadSettingNumber(HKEY root, const wchar_t* subKey, const wchar_t* name) {
  Result<UniqueRegKey> key = OpenRegistryKey(root, subKey, KEY_QUERY_VALUE);
  if (!key) return key.status;
  return ReadRegistryDword(key.value.get(), name);
}

// What the Settings page calls the kind of background; the number for a kind it does not name.
const wchar_t* BackgroundTypeName(unsigned long type) {
  switch (type) {
    case 1:
      return L"纯色";
    case 2:
      return L"幻灯片放映";
    case 3:
      return L"Windows 聚焦";
    default:
      return L"其他类型";
  }
}

// Only the user's own policies count. A value that is not a number by the program's rule is not a
// policy in force: these only give rise to a warning.
bool PolicyNumberSet(const wchar_t* subKey) {
  Result<UniqueRegKey> key = OpenRegistryKey(HKEY_CURRENT_USER, subKey, KEY_QUERY_VALUE);
  if (!key) return false;
  Result<unsigned long> number = ReadRegistryDword(key.value.get(), kPolicyValue);
  return number.ok() && number.value != 0;
}

// Without user32 there is no shell window to be found either.
HWND ShellWindow() {
  const User32Api& user32 = User32();
  return user32.loadError == ERROR_SUCCESS ? user32.getShellWindow() : nullptr;
}

DesktopProbe ProbeDesktop() {
  DesktopProbe probe;
  DWORD session = 0;
  if (ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
    probe.ownSessionKnown = true;
    probe.ownSession = session;
  }
  HWND shell = ShellWindow();
  if (shell) {
    probe.haveShell = true;
    DWORD shellPid = 0;
    User32().getWindowThreadProcessId(shell, &shellPid);
    DWORD shellSession = 0;
    if (ProcessIdToSessionId(shellPid, &shellSession)) probe.shellSession = shellSession;
  }
  probe.policyLocked = PolicyNumberSet(kPolicyKey);
  probe.backgroundChangeBlocked = PolicyNumberSet(kActiveDesktopPolicyKey);
  probe.enforcedWallpaper = ReadRegistryText(HKEY_CURRENT_USER, kPolicyKey, L"Wallpaper");
  const Result<unsigned long> backgroundType = ReadSettingNumber(HKEY_CURRENT_USER, kWallpapersKey, L"BackgroundType");
  probe.backgroundTypeKnown = backgroundType.ok();
  probe.backgroundType = backgroundType.value;
  probe.cspDesktopImage = ReadRegistryText(HKEY_LOCAL_MACHINE, kPersonalizationCspKey, L"DesktopImagePath");
  const Result<unsigned long> cspStatus =
      ReadSettingNumber(HKEY_LOCAL_MACHINE, kPersonalizationCspKey, L"DesktopImageStatus");
  probe.cspStatusKnown = cspStatus.ok();
  probe.cspStatus = cspStatus.value;
  return probe;
}

void ReportFinding(DesktopFinding finding, const DesktopProbe& probe) {
  switch (finding) {
    case DesktopFinding::OwnSession:
      Info(L"当前会话 ID = %lu", probe.ownSession);
      break;
    case DesktopFinding::SessionZero:
      Report(ConsoleLevel::kError, L"进程运行在 Session 0（服务会话），改的是服务账户的桌面，登录用户看不到",
             LogLevel::kError, L"运行在 Session 0，墙纸对登录用户无效");
      break;
    case DesktopFinding::NoShell:
      Fail(L"找不到 Shell 窗口（Explorer.exe 没运行）—— 墙纸设置无法生效");
      break;
    case DesktopFinding::ShellSession:
      Info(L"Explorer 所在会话 ID = %lu", probe.shellSession);
      break;
    case DesktopFinding::SessionMismatch:
      Warn(L"本进程会话(%lu) 与 Explorer 会话(%lu) 不同，画面可能不会更新", probe.ownSession, probe.shellSession);
      break;
    case DesktopFinding::PolicyLocked:
      Report(ConsoleLevel::kError, L"策略 NoChangingWallPaper=1 已锁死墙纸，需管理员/组策略解除", LogLevel::kError,
             L"策略 NoChangingWallPaper=1，墙纸被组策略锁定");
      break;
    case DesktopFinding::BackgroundChangeBlocked:
      Report(ConsoleLevel::kWarn,
             L"组策略“阻止更改桌面背景”已启用（ActiveDesktop\\NoChangingWallPaper=1），本程序照常设置", LogLevel::kWarn,
             L"策略 ActiveDesktop\\NoChangingWallPaper=1，组策略阻止更改桌面背景");
      break;
    case DesktopFinding::WallpaperEnforced:
      Report(ConsoleLevel::kWarn, L"组策略“桌面墙纸”指定了 %ls，策略刷新时会换回它，本程序照常设置", LogLevel::kWarn,
             L"策略 System\\Wallpaper=%ls，组策略强制指定墙纸", probe.enforcedWallpaper.c_str());
      break;
    case DesktopFinding::BackgroundNotPicture:
      Report(ConsoleLevel::kWarn,
             L"桌面背景设为“%ls”而不是图片（Wallpapers\\BackgroundType=%lu），Windows 可能自行换掉墙纸，本程序照常设置",
             LogLevel::kWarn, L"桌面背景类型为“%ls”（BackgroundType=%lu），不是图片",
             BackgroundTypeName(probe.backgroundType), probe.backgroundType);
      break;
    case DesktopFinding::CspDesktopImage:
      Report(ConsoleLevel::kWarn,
             L"设备管理（Personalization CSP）指定了桌面图片 %ls，Windows 会换回它，本程序照常设置", LogLevel::kWarn,
             L"PersonalizationCSP\\DesktopImagePath=%ls，设备管理指定桌面图片", probe.cspDesktopImage.c_str());
      break;
  }
}

}  // namespace

DesktopVerdict JudgeDesktop(const DesktopProbe& probe) {
  DesktopVerdict verdict;
  if (probe.ownSessionKnown) verdict.findings.push_back(DesktopFinding::OwnSession);
  // A failed session query leaves 0 and is treated as Session 0.
  const bool sessionZero = probe.ownSession == 0;
  if (sessionZero) verdict.findings.push_back(DesktopFinding::SessionZero);
  if (!probe.haveShell) {
    verdict.findings.push_back(DesktopFinding::NoShell);
  } else {
    verdict.findings.push_back(DesktopFinding::ShellSession);
    // Session 0 has been reported already; a mismatch is only news between two user sessions.
    if (probe.shellSession != 0 && !sessionZero && probe.shellSession != probe.ownSession) {
      verdict.findings.push_back(DesktopFinding::SessionMismatch);
    }
  }
  if (probe.policyLocked) verdict.findings.push_back(DesktopFinding::PolicyLocked);
  if (probe.backgroundChangeBlocked) verdict.findings.push_back(DesktopFinding::BackgroundChangeBlocked);
  if (!probe.enforcedWallpaper.empty()) verdict.findings.push_back(DesktopFinding::WallpaperEnforced);
  if (probe.backgroundTypeKnown && probe.backgroundType != kBackgroundPicture) {
    verdict.findings.push_back(DesktopFinding::BackgroundNotPicture);
  }
  // The provider shows its image only once it is in place; a failed or pending download changes nothing yet.
  if (!probe.cspDesktopImage.empty() && probe.cspStatusKnown && probe.cspStatus == kCspImageInPlace) {
    verdict.findings.push_back(DesktopFinding::CspDesktopImage);
  }
  if (sessionZero) {
    verdict.reach = DesktopReach::kUnreachable;
  } else if (!probe.haveShell) {
    verdict.reach = DesktopReach::kNoShellYet;
  }
  return verdict;
}

DesktopReach CheckDesktopEnvironment() {
  const DesktopProbe probe = ProbeDesktop();
  const DesktopVerdict verdict = JudgeDesktop(probe);
  for (DesktopFinding finding : verdict.findings) ReportFinding(finding, probe);
  return verdict.reach;
}

bool ShellWindowPresent() { return ShellWindow() != nullptr; }

void ReportShellArrival() {
  const DesktopProbe probe = ProbeDesktop();
  for (DesktopFinding finding : JudgeDesktop(probe).findings) {
    if (finding == DesktopFinding::ShellSession || finding == DesktopFinding::SessionMismatch) {
      ReportFinding(finding, probe);
    }
  }
}
