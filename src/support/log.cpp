// Log file.
#include "support/log.h"

#include "support/handles.h"
#include "support/system_folders.h"
#include "support/text.h"

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

// A short retry keeps another writer's line from pushing ours out.
UniqueFile OpenForAppend(const std::wstring& path, const LogOpenRetry& retry) {
  UniqueFile file;
  for (int attempt = 0; attempt < retry.attempts; ++attempt) {
    file.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr));
    if (file) break;
    DWORD err = GetLastError();
    if (err != ERROR_SHARING_VIOLATION && err != ERROR_LOCK_VIOLATION) break;
    if (retry.refused) SetEvent(retry.refused);
    Sleep(retry.pauseMs);
  }
  return file;
}

}  // namespace

const wchar_t* LogLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kInfo:
      return L"INFO";
    case LogLevel::kWarn:
      return L"WARN";
    case LogLevel::kError:
      break;
  }
  return L"ERROR";
}

std::wstring LogPath() {
  std::wstring folder = KnownFolderPath(FOLDERID_LocalAppData);
  if (folder.empty()) return {};
  folder += L"\\OKAVU-wallpaper";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder + L"\\guard.log";
}

std::wstring TimeStamp(const SYSTEMTIME& t) {
  return Format(L"%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

std::wstring FormatLogLine(const SYSTEMTIME& now, LogLevel level, const wchar_t* fmt, va_list args) {
  wchar_t buf[kLogLineChars];
  int prefix = FormatInto(buf, kLogLineChars, L"%ls [%ls] ", TimeStamp(now).c_str(), LogLevelName(level));
  if (prefix < 1 || prefix > 999) return {};
  int n = FormatV(buf + prefix, kLogLineChars - static_cast<size_t>(prefix), fmt, args);
  if (n == 0) return {};
  // An overlong message is kept, cut to the line limit, rather than dropped. A value from outside never
  // ends the line early or forges another one.
  const size_t end = n < 0 ? kLogLineChars - 1 : static_cast<size_t>(prefix + n);
  std::wstring line(buf, static_cast<size_t>(prefix));
  line += EscapeOutsideText(std::wstring(buf + prefix, end - static_cast<size_t>(prefix)));
  if (line.size() > kLogTextMax) line.resize(kLogTextMax);
  line += L"\r\n";
  return line;
}

void AppendLogLine(const std::wstring& path, const std::wstring& line, const LogOpenRetry& retry) {
  WIN32_FILE_ATTRIBUTE_DATA attrs{};
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attrs)) {
    unsigned long long size = (static_cast<unsigned long long>(attrs.nFileSizeHigh) << 32) | attrs.nFileSizeLow;
    if (size > kLogRotateBytes) {
      MoveFileExW(path.c_str(), (path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
  }
  std::string bytes = ToUtf8(line);
  if (bytes.empty()) return;
  UniqueFile file = OpenForAppend(path, retry);
  if (!file) return;
  // The mark belongs at the start of a file only: a failed rotation leaves the old, non-empty
  // file in place, and a mark there would land in its middle.
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.get(), &size) && size.QuadPart == 0) bytes.insert(0, kBom);
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void LogLineV(LogLevel level, const wchar_t* fmt, va_list args) {
  // Computed once; never destroyed, so a thread that logs while the process ends finds it intact.
  static const std::wstring* const path = new std::wstring(LogPath());
  if (path->empty()) return;
  SYSTEMTIME now{};
  GetLocalTime(&now);
  std::wstring line = FormatLogLine(now, level, fmt, args);
  if (line.empty()) return;
  AppendLogLine(*path, line);
}

void LogLine(LogLevel level, const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LogLineV(level, fmt, args);
  va_end(args);
}
