// Setting the wallpaper: fill style in the user's desktop settings, the system call, the shell nudge, the first paint.
#include "wallpaper/wallpaper_apply.h"

#include <windows.h>

#include <cwchar>

#include "support/console.h"
#include "support/log.h"
#include "support/registry.h"
#include "support/report.h"
#include "support/system_dll.h"
#include "support/text.h"

namespace {

constexpr DWORD kShellNotifyTimeoutMs = 2000;
constexpr wchar_t kSettingSection[] = L"Desktop";

// Tells one shell window that the desktop settings changed and has it repaint. A hung window
// costs at most the time-out. False when there is no such window.
bool NudgeShellWindow(const wchar_t* windowClass) {
  const User32Api& user32 = User32();
  if (user32.loadError != ERROR_SUCCESS) return false;
  HWND window = user32.findWindow(windowClass, nullptr);
  if (!window) return false;
  DWORD_PTR answer = 0;
  user32.sendMessageTimeout(window, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(kSettingSection), SMTO_ABORTIFHUNG,
                            kShellNotifyTimeoutMs, &answer);
  user32.invalidateRect(window, nullptr, TRUE);
  return true;
}

}  // namespace

void SetDesktopStyle(int style, bool tile) {
  Result<UniqueRegKey> key = CreateRegistryKey(HKEY_CURRENT_USER, kDesktopKey, KEY_SET_VALUE);
  if (!key) {
    Warn(L"打不开 HKCU\\Control Panel\\Desktop (err=%ld)", static_cast<long>(key.error()));
    return;
  }
  wchar_t styleText[8] = {};
  FormatInto(styleText, 8, L"%d", style);
  if (!WriteRegistryString(key.value.get(), L"WallpaperStyle", styleText)) {
    Warn(L"写入 WallpaperStyle 失败");
    return;
  }
  const wchar_t* tileText = tile ? L"1" : L"0";
  // Tiling off is the default everywhere; a failed write leaves a harmless value behind.
  static_cast<void>(WriteRegistryString(key.value.get(), L"TileWallpaper", tileText));
  key.value.reset();
  Info(L"墙纸样式 = %d（10=填充 6=适应 2=拉伸 0=居中 22=跨区），平铺 = %ls", style, tileText);
}

Status SystemWallpaperSetter(const std::wstring& path) {
  const User32Api& user32 = User32();
  if (user32.loadError != ERROR_SUCCESS) return Status::Failure(user32.loadError);
  std::wstring buffer = path;  // the call takes a writable pointer
  if (!user32.systemParametersInfo(SPI_SETDESKWALLPAPER, 0, &buffer[0], SPIF_UPDATEINIFILE | SPIF_SENDWININICHANGE)) {
    return Status::LastError();
  }
  return Status::Success();
}

Status ApplyWallpaperWith(const std::wstring& path, WallpaperSetter setter) {
  const Status set = setter(path);
  if (!set) {
    Report(ConsoleLevel::kError, L"SystemParametersInfoW(SPI_SETDESKWALLPAPER) 失败，GetLastError=%lu",
           LogLevel::kError, L"设置墙纸失败 (GetLastError=%lu)：%ls", set.error(), path.c_str());
    return set;
  }
  // Windows has the new file; the shell windows only need telling so the change shows at once.
  bool progman = NudgeShellWindow(L"Progman");
  bool workerW = NudgeShellWindow(L"WorkerW");
  if (!progman && !workerW) Warn(L"没找到 Progman/WorkerW 窗口 —— Explorer 可能没在运行，画面不会更新");
  return Status::Success();
}

Status ApplyWallpaper(const std::wstring& path) { return ApplyWallpaperWith(path, SystemWallpaperSetter); }

Status PaintOnceWith(const std::wstring& target, WallpaperSetter setter) {
  SetDesktopStyle(kStyleFill, false);
  const Status applied = ApplyWallpaperWith(target, setter);
  if (!applied) return applied;
  // The set succeeded, so user32 is there.
  const User32Api& user32 = User32();
  HWND desktop = user32.loadError == ERROR_SUCCESS ? user32.getDesktopWindow() : nullptr;
  if (desktop) {
    user32.invalidateRect(desktop, nullptr, TRUE);
    user32.updateWindow(desktop);
  }
  Report(ConsoleLevel::kOk, L"桌面背景已设置为 %ls", LogLevel::kInfo, L"设置墙纸：%ls", target.c_str());
  return Status::Success();
}

Status PaintOnce(const std::wstring& target) { return PaintOnceWith(target, SystemWallpaperSetter); }
