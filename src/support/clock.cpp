// System time through FILETIME: 100-nanosecond ticks since 1601.
#include "support/clock.h"

#include <windows.h>

#include <cwchar>

namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kEpochDifferenceSeconds = 11644473600;  // 1601-01-01 to 1970-01-01

}  // namespace

UtcSeconds UtcNow() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const std::int64_t ticks = (static_cast<std::int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return ticks / kTicksPerSecond - kEpochDifferenceSeconds;
}

std::wstring LocalTimeText(UtcSeconds seconds) {
  const std::int64_t ticks = (seconds + kEpochDifferenceSeconds) * kTicksPerSecond;
  FILETIME utc{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME universal{};
  SYSTEMTIME local{};
  // Outside what the system converts, the UTC text says it all the same.
  if (ticks < 0 || !FileTimeToSystemTime(&utc, &universal) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) {
    return FormatUtcTime(seconds);
  }
  wchar_t text[32];
  swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
           local.wMinute, local.wSecond);
  return text;
}
