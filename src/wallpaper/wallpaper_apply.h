// Setting the wallpaper: placement style, the system setting with shell notification, the first paint.
#pragma once

#include <string>

#include "support/result.h"

inline constexpr int kStyleFill = 10;
inline constexpr wchar_t kDesktopKey[] = L"Control Panel\\Desktop";  // under HKEY_CURRENT_USER

// Writes "WallpaperStyle" and "TileWallpaper" under HKCU\Control Panel\Desktop; reports its outcome.
void SetDesktopStyle(int style, bool tile);

// Hands path to Windows and tells the shell. A refusal (with the Windows error) has been reported
// and logged; missing shell windows are only a warning.
Status ApplyWallpaper(const std::wstring& path);

// The first set of a run: style, apply, repaint, report. A failure means exit code 1.
Status PaintOnce(const std::wstring& target);

// The system call that hands path to Windows; fails with the Windows error when it is refused.
// ApplyWallpaper and PaintOnce use SystemWallpaperSetter; the With forms let tests refuse.
using WallpaperSetter = Status (*)(const std::wstring& path);
Status SystemWallpaperSetter(const std::wstring& path);
Status ApplyWallpaperWith(const std::wstring& path, WallpaperSetter setter);
Status PaintOnceWith(const std::wstring& target, WallpaperSetter setter);
