// What the stand-in shell shows, as the real shell does: the file that the desktop values name
// (HKCU\Control Panel\Desktop: Wallpaper, WallpaperStyle, TileWallpaper), laid out in that style over
// the screen, on the desktop colour.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// 32-bit pixels 0x00RRGGBB, rows from the top: the memory layout of a top-down 32-bit DIB.
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> data;
};

// The desktop values, read as the shell reads them: numbers from their text, 0 when missing.
struct DesktopValues {
  std::wstring wallpaper;
  int style = 0;      // WallpaperStyle: 0 centre, 2 stretch, 6 fit, 10 fill, 22 span
  bool tile = false;  // TileWallpaper non-zero: with style 0, tiled from the top left corner
};
DesktopValues ReadDesktopValues();

// Where the picture goes on the screen: its size there and its top left corner (negative when fill
// crops it), or, tiled, at its own size from the corner.
struct Placement {
  int width = 0;
  int height = 0;
  int left = 0;
  int top = 0;
  bool tiled = false;
};
Placement PlaceWallpaper(int pictureWidth, int pictureHeight, int screenWidth, int screenHeight,
                         const DesktopValues& values);

// The screen: background everywhere, the picture (already at the placement's size) where it lies.
Pixels ComposeDesktop(int screenWidth, int screenHeight, std::uint32_t background, const Pixels& placed,
                      const Placement& placement);

// The desktop as the values show it on a screen of that size: the file decoded with the Windows
// Imaging Component (BMP, JPEG, PNG, GIF, TIFF), scaled to its placement. A file that is missing or
// cannot be decoded shows the background alone, as the real desktop does. COM must be initialised on
// the calling thread.
Pixels DrawDesktop(const DesktopValues& values, int screenWidth, int screenHeight, std::uint32_t background);
