// The shared log file: timestamped UTF-8 lines in the user's local application data, rotated above 1 MiB.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

inline constexpr unsigned long long kLogRotateBytes = 1048576;  // rotate when strictly larger
inline constexpr size_t kLogLineChars = 1024;                   // buffer, terminator included
inline constexpr size_t kLogTextMax = 1020;                     // characters before CR LF

enum class LogLevel { kInfo, kWarn, kError };

// "INFO", "WARN" or "ERROR", as the level stands in a line.
const wchar_t* LogLevelName(LogLevel level);

// %LOCALAPPDATA%\OKAVU-wallpaper\guard.log, or empty when the folder is unknown. Creates the folder.
std::wstring LogPath();

// Appends one line. Never reports a failure.
void LogLine(LogLevel level, const wchar_t* fmt, ...);
void LogLineV(LogLevel level, const wchar_t* fmt, va_list args);

// The line as it goes into the file (prefix, text cut to 1020 characters, CR LF), or empty when
// the message formats to nothing.
// "YYYY-MM-DD hh:mm:ss": the log's time format, also for the times the program stores and reports.
std::wstring TimeStamp(const SYSTEMTIME& t);

std::wstring FormatLogLine(const SYSTEMTIME& now, LogLevel level, const wchar_t* fmt, va_list args);

// How long a line waits for another process of the program (a watcher and the update helper, say)
// that holds the file for the few microseconds of its own write.
struct LogOpenRetry {
  int attempts = 40;
  DWORD pauseMs = 5;
  HANDLE refused = nullptr;  // an event set after each open another writer refused; tests only
};

// Appends a finished line to the file at path, rotating it to path + ".1" first when it is too big.
void AppendLogLine(const std::wstring& path, const std::wstring& line, const LogOpenRetry& retry = {});
