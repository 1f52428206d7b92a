// Is the desktop showing the target file right now? And the check-and-repair right after the first set.
#pragma once

#include <functional>
#include <string>

inline constexpr wchar_t kTargetGoneText[] = L"(目标文件已被删除)";
inline constexpr wchar_t kRegistryEmptyText[] = L"(注册表值为空)";
inline constexpr wchar_t kSystemEmptyText[] = L"(SPI_GETDESKWALLPAPER 返回空)";

enum class WallpaperState {
  kMatch,       // the registry value and the system value both name the target
  kMismatch,    // one of them names something else
  kTargetGone,  // the target file no longer exists
};

struct WallpaperCheck {
  WallpaperState state = WallpaperState::kMismatch;
  std::wstring actual;  // what is shown instead (or a placeholder text); empty on a match
};

// What the desktop shows now, compared with target. Changes and reports nothing.
WallpaperCheck CheckWallpaper(const std::wstring& target);

// Once and watch runs, after the first set: check, and put the target back on a mismatch.
void InitialCheck(const std::wstring& target);

// Where the check looks. Each source is asked only while its answer can still change the
// result: nothing after a missing target, no system value after a registry mismatch.
struct WallpaperSources {
  std::function<bool(const std::wstring& target)> targetPresent;
  std::function<std::wstring()> registryValue;  // empty when missing or unreadable
  std::function<std::wstring()> systemValue;    // empty when the query failed
};

// CheckWallpaper's rules over any sources.
WallpaperCheck CheckWallpaperWith(const std::wstring& target, const WallpaperSources& sources);
