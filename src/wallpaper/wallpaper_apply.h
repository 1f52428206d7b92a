// Setting the wallpaper: placement style, the system setting with shell notification, the first paint.
#pragma once

#include <string>

inline constexpr int kStyleFill = 10;
inline constexpr wchar_t kDesktopKey[] = L"Control Panel\\Desktop";  // under HKEY_CURRENT_USER

// Writes "WallpaperStyle" and "TileWallpaper" under HKCU\Control Panel\Desktop; reports its outcome.
void SetDesktopStyle(int style, bool tile);

// True when Windows accepted the file; false has been reported and logged.
bool ApplyWallpaper(const std::wstring& path);

// The first set of a run: style, apply, repaint, report. False means exit code 1.
bool PaintOnce(const std::wstring& target);

// The system call that hands path to Windows: false with the Windows error when it is refused.
// ApplyWallpaper and PaintOnce use SystemWallpaperSetter; the With forms let tests refuse.
using WallpaperSetter = bool (*)(const std::wstring& path, unsigned long& error);
bool SystemWallpaperSetter(const std::wstring& path, unsigned long& error);
bool ApplyWallpaperWith(const std::wstring& path, WallpaperSetter setter);
bool PaintOnceWith(const std::wstring& target, WallpaperSetter setter);
