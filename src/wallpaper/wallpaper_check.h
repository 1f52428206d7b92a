// Is the desktop showing the target file right now? And the check-and-repair right after the first set.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

inline constexpr int kCheckMatch = 0;
inline constexpr int kCheckMismatch = 1;
inline constexpr int kCheckTargetGone = -1;

inline constexpr wchar_t kTargetGoneText[] = L"(目标文件已被删除)";
inline constexpr wchar_t kRegistryEmptyText[] = L"(注册表值为空)";
inline constexpr wchar_t kSystemEmptyText[] = L"(SPI_GETDESKWALLPAPER 返回空)";

// 0 when the registry value and the system value both name target; 1 with the differing text
// in actual; -1 when the target file is gone. Changes and reports nothing.
int CheckWallpaper(const std::wstring& target, std::wstring* actual);

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
int CheckWallpaperWith(const std::wstring& target, const WallpaperSources& sources, std::wstring* actual);

// A registry value's data as text whatever its type: asks for the size, reads, and reads again
// when the value grew in between. Empty when the key or value is missing, empty or unreadable.
std::wstring ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* name);

// Registry data taken as UTF-16 text whatever the value's type: the whole characters of the
// first bytes, up to the first zero character; an odd last byte is dropped.
std::wstring RegistryDataText(const unsigned char* data, unsigned long bytes);
