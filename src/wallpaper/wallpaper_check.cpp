// The wallpaper check: target present, registry value, system value, all through SamePath; and the first
// check-and-repair.
#include "wallpaper/wallpaper_check.h"

#include <windows.h>

#include "support/console.h"
#include "support/files.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/registry.h"
#include "support/report.h"
#include "support/system_dll.h"
#include "wallpaper/wallpaper_apply.h"

namespace {

constexpr UINT kSystemValueChars = 520;

std::wstring RegistryWallpaper() { return ReadRegistryText(HKEY_CURRENT_USER, kDesktopKey, L"Wallpaper"); }

std::wstring SystemWallpaper() {
  wchar_t buffer[kSystemValueChars] = {};
  const User32Api& user32 = User32();
  if (user32.loadError != ERROR_SUCCESS) return {};
  if (!user32.systemParametersInfo(SPI_GETDESKWALLPAPER, kSystemValueChars, buffer, 0)) return {};
  buffer[kSystemValueChars - 1] = L'\0';
  return buffer;
}

}  // namespace

WallpaperCheck CheckWallpaperWith(const std::wstring& target, const WallpaperSources& sources) {
  if (!sources.targetPresent(target)) return {WallpaperState::kTargetGone, kTargetGoneText};
  std::wstring registry = sources.registryValue();
  if (!SamePath(registry, target)) {
    return {WallpaperState::kMismatch, registry.empty() ? kRegistryEmptyText : registry};
  }
  std::wstring system = sources.systemValue();
  if (!SamePath(system, target)) return {WallpaperState::kMismatch, system.empty() ? kSystemEmptyText : system};
  return {WallpaperState::kMatch, std::wstring()};
}

WallpaperCheck CheckWallpaper(const std::wstring& target) {
  static const WallpaperSources kDesktopSources{IsExistingFile, RegistryWallpaper, SystemWallpaper};
  return CheckWallpaperWith(target, kDesktopSources);
}

void InitialCheck(const std::wstring& target) {
  const WallpaperCheck check = CheckWallpaper(target);
  if (check.state == WallpaperState::kMatch) {
    Report(ConsoleLevel::kOk, L"检查通过：桌面就是目标墙纸。", LogLevel::kInfo, L"检查通过");
    return;
  }
  Report(ConsoleLevel::kWarn, L"检查发现不符（%ls），正在改回…", LogLevel::kWarn, L"检查发现不符：%ls",
         check.actual.c_str());
  SetDesktopStyle(kStyleFill, false);
  // A refusal has been reported by ApplyWallpaper itself.
  if (ApplyWallpaper(target)) Report(ConsoleLevel::kOk, L"已改回：%ls", LogLevel::kInfo, L"已改回", target.c_str());
}
