// Is the desktop showing the target file right now? And the check-and-repair right after the first set.
#pragma once

#include <string>

inline constexpr int kCheckMatch = 0;
inline constexpr int kCheckMismatch = 1;
inline constexpr int kCheckTargetGone = -1;

// 0 when the registry value and the system value both name target; 1 with the differing text
// in actual; -1 when the target file is gone. Changes and reports nothing.
int CheckWallpaper(const std::wstring& target, std::wstring* actual);

// Once and watch runs, after the first set: check, and put the target back on a mismatch.
void InitialCheck(const std::wstring& target);
