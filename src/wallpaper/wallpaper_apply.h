// Setting the wallpaper: placement style, the system setting with shell notification, the first paint.
#pragma once

#include <string>

inline constexpr int kStyleFill = 10;

// Writes "WallpaperStyle" and "TileWallpaper" under HKCU\Control Panel\Desktop; reports its outcome.
void SetDesktopStyle(int style, bool tile);

// True when Windows accepted the file; false has been reported and logged.
bool ApplyWallpaper(const std::wstring& path);

// The first set of a run: style, apply, repaint, report. False means exit code 1.
bool PaintOnce(const std::wstring& target);
