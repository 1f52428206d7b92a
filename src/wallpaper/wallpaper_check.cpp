// The wallpaper check: target present, registry value, system value, all through SamePath; and the first check-and-repair.
#include "wallpaper/wallpaper_check.h"

#include <windows.h>

#include <vector>

#include "support/console.h"
#include "support/handles.h"
#include "support/log.h"
#include "support/paths.h"
#include "wallpaper/wallpaper_apply.h"

namespace {

constexpr UINT kSystemValueChars = 520;
constexpr int kRegistryReadAttempts = 4;

std::wstring RegistryWallpaper() { return ReadRegistryText(HKEY_CURRENT_USER, kDesktopKey, L"Wallpaper"); }

std::wstring SystemWallpaper() {
  wchar_t buffer[kSystemValueChars] = {};
  if (!SystemParametersInfoW(SPI_GETDESKWALLPAPER, kSystemValueChars, buffer, 0)) return {};
  buffer[kSystemValueChars - 1] = L'\0';
  return buffer;
}

}  // namespace

std::wstring RegistryDataText(const unsigned char* data, unsigned long bytes) {
  std::wstring text;
  for (unsigned long i = 0; i + 1 < bytes; i += 2) {
    wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (c == L'\0') break;
    text.push_back(c);
  }
  return text;
}

std::wstring ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* name) {
  UniqueRegKey key;
  if (RegOpenKeyExW(root, subKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return {};
  DWORD bytes = 0;
  LSTATUS status = RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, &bytes);
  for (int attempt = 0; attempt < kRegistryReadAttempts && status == ERROR_SUCCESS && bytes > 0; ++attempt) {
    // Two spare zero bytes so that data stored without a terminator still ends.
    std::vector<unsigned char> data((bytes & ~static_cast<DWORD>(1)) + 2, 0);
    DWORD got = bytes;
    status = RegQueryValueExW(key.get(), name, nullptr, nullptr, data.data(), &got);
    if (status == ERROR_SUCCESS) return RegistryDataText(data.data(), got);
    if (status == ERROR_MORE_DATA) {
      bytes = got;
      status = ERROR_SUCCESS;
    }
  }
  return {};
}

int CheckWallpaperWith(const std::wstring& target, const WallpaperSources& sources, std::wstring* actual) {
  if (!sources.targetPresent(target)) {
    *actual = kTargetGoneText;
    return kCheckTargetGone;
  }
  std::wstring registry = sources.registryValue();
  if (!SamePath(registry, target)) {
    *actual = registry.empty() ? kRegistryEmptyText : registry;
    return kCheckMismatch;
  }
  std::wstring system = sources.systemValue();
  if (!SamePath(system, target)) {
    *actual = system.empty() ? kSystemEmptyText : system;
    return kCheckMismatch;
  }
  return kCheckMatch;
}

int CheckWallpaper(const std::wstring& target, std::wstring* actual) {
  static const WallpaperSources kDesktopSources{IsExistingFile, RegistryWallpaper, SystemWallpaper};
  return CheckWallpaperWith(target, kDesktopSources, actual);
}

void InitialCheck(const std::wstring& target) {
  std::wstring actual;
  if (CheckWallpaper(target, &actual) == kCheckMatch) {
    Ok(L"检查通过：桌面就是目标墙纸。");
    LogLine(L"INFO", L"检查通过");
    return;
  }
  Warn(L"检查发现不符（%ls），正在改回…", actual.c_str());
  LogLine(L"WARN", L"检查发现不符：%ls", actual.c_str());
  SetDesktopStyle(kStyleFill, false);
  // A refusal has been reported by ApplyWallpaper itself.
  if (ApplyWallpaper(target)) {
    Ok(L"已改回：%ls", target.c_str());
    LogLine(L"INFO", L"已改回");
  }
}
