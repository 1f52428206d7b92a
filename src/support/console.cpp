// Console output and message levels.
#include "support/console.h"

#include <windows.h>

#include <io.h>

#include <cwchar>

#include "support/text.h"

bool g_haveConsole = false;
bool g_quiet = false;

namespace {

constexpr size_t kLineChars = 2048;

void Level(FILE* stream, const wchar_t* tag, const wchar_t* fmt, va_list args) {
  if (!g_haveConsole || g_quiet) return;
  Emit(stream, tag, fmt, args);
}

}  // namespace

std::wstring FrameLine(const wchar_t* tag, const wchar_t* fmt, va_list args) {
  wchar_t buf[kLineChars];
  int len = FormatInto(buf, kLineChars, L"[%ls] ", tag);
  if (len >= 1 && len <= 1999) {
    int n = FormatV(buf + len, kLineChars - static_cast<size_t>(len), fmt, args);
    if (n > 0) {
      len += n;
    } else {
      // Empty or cut message: the frame (and whatever fitted) goes out without a line break.
      return std::wstring(buf);
    }
  }
  if (len >= 1 && len <= 2046) {
    buf[len] = L'\n';
    buf[len + 1] = L'\0';
  }
  return std::wstring(buf);
}

void Emit(FILE* stream, const wchar_t* tag, const wchar_t* fmt, va_list args) {
  ConsoleWrite(stream, FrameLine(tag, fmt, args).c_str());
}

void ConsoleWrite(FILE* stream, const wchar_t* text) {
  intptr_t os = _get_osfhandle(_fileno(stream));
  HANDLE h = reinterpret_cast<HANDLE>(os);
  if (os == 0 || h == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(h, &mode)) {
    // A real console takes UTF-16 directly, whatever its code page.
    WriteConsoleW(h, text, static_cast<DWORD>(wcslen(text)), &written, nullptr);
    return;
  }
  std::string bytes = ToUtf8(text, wcslen(text));
  if (bytes.empty()) return;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

#define OKAVU_LEVEL_FUNCTION(name, stream, tag) \
  void name(const wchar_t* fmt, ...) {          \
    va_list args;                               \
    va_start(args, fmt);                        \
    Level(stream, tag, fmt, args);              \
    va_end(args);                               \
  }

OKAVU_LEVEL_FUNCTION(Ok, stdout, L" OK  ")
OKAVU_LEVEL_FUNCTION(Info, stdout, L"INFO ")
OKAVU_LEVEL_FUNCTION(Warn, stderr, L"WARN ")
OKAVU_LEVEL_FUNCTION(Fail, stderr, L"ERROR")
