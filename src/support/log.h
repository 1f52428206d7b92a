// The shared log file: timestamped UTF-8 lines in the user's local application data, rotated above 1 MiB.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

inline constexpr unsigned long long kLogRotateBytes = 1048576;  // rotate when strictly larger
inline constexpr size_t kLogLineChars = 1024;                   // buffer, terminator included
inline constexpr size_t kLogTextMax = 1020;                     // characters before CR LF

// %LOCALAPPDATA%\OKAVU-wallpaper\guard.log, or empty when the folder is unknown. Creates the folder.
std::wstring LogPath();

// Appends one line at level "INFO", "WARN" or "ERROR". Never reports a failure.
void LogLine(const wchar_t* level, const wchar_t* fmt, ...);

// The line as it goes into the file (prefix, text cut to 1020 characters, CR LF), or empty when
// the message formats to nothing.
std::wstring FormatLogLine(const SYSTEMTIME& now, const wchar_t* level, const wchar_t* fmt, va_list args);

// Appends a finished line to the file at path, rotating it to path + ".1" first when it is too big.
void AppendLogLine(const std::wstring& path, const std::wstring& line);
